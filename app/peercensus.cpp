#include "peercensus.h"

#include "censuslog.h"
#include "platform.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>

int countMatchingLines(const QByteArray &listerOutput, const QString &applicationName)
{
    // Anything after a zero byte is not text the lister meant to print.
    const QString text = QString::fromUtf8(
        listerOutput.constData(), int(qstrnlen(listerOutput.constData(), uint(listerOutput.size()))));
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    // A literal search: names such as "Ostrel (2)" or "a.b" must mean exactly those characters.
    return lines.filter(applicationName, Qt::CaseSensitive).size();
}

bool runProcessLister(const QString &program, int timeoutMs, QByteArray *output)
{
    QProcess lister;
    lister.start(program, QStringList(), QIODevice::ReadWrite);
    if (!lister.waitForFinished(timeoutMs)) {
        qCDebug(lcCensus, "pid %lld: census: %s gave no list: %s", QCoreApplication::applicationPid(),
                qUtf8Printable(program),
                lister.error() == QProcess::FailedToStart
                    ? qUtf8Printable(QStringLiteral("it did not start (%1)").arg(lister.errorString()))
                    : qUtf8Printable(QStringLiteral("still running after %1 ms, killed").arg(timeoutMs)));
        if (lister.state() != QProcess::NotRunning) {
            lister.kill();
            lister.waitForFinished(5000);
        }
        return false;
    }
    // A lister that ended abnormally (killed, crashed) may have printed its whole list first. What it
    // printed is counted like any other output: treating it as no list would hold a lone copy for the whole
    // settle bound, and a line cut short can only hide a copy, which the quiet spool folder still covers.
    if (output)
        *output = lister.readAllStandardOutput();
    if (lister.exitStatus() != QProcess::NormalExit || lister.exitCode() != 0)
        qCDebug(lcCensus, "pid %lld: census: %s ended %s %d; what it printed counts",
                QCoreApplication::applicationPid(), qUtf8Printable(program),
                lister.exitStatus() == QProcess::NormalExit ? "with status" : "abnormally, code",
                lister.exitCode());
    return true;
}

int countRunningCopies(const QString &listerProgram, const QString &applicationName, int timeoutMs)
{
    QElapsedTimer took; // for the trail
    took.start();
    QByteArray output;
    if (!runProcessLister(listerProgram, timeoutMs, &output))
        return -1;
    qCDebug(lcCensus, "pid %lld: census: counted %d of %s in %lld ms, lister %s",
            QCoreApplication::applicationPid(), countMatchingLines(output, applicationName),
            qUtf8Printable(applicationName), took.elapsed(), qUtf8Printable(listerProgram));
    return countMatchingLines(output, applicationName);
}

int countRunningCopies(int timeoutMs)
{
    return countRunningCopies(Platform::processListerProgram(), QCoreApplication::applicationName(),
                              timeoutMs);
}
