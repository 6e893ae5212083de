#include "peercensus.h"

#include "platform.h"

#include <QCoreApplication>
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
    return true;
}

int countRunningCopies(const QString &listerProgram, const QString &applicationName, int timeoutMs)
{
    QByteArray output;
    if (!runProcessLister(listerProgram, timeoutMs, &output))
        return -1;
    return countMatchingLines(output, applicationName);
}

int countRunningCopies(int timeoutMs)
{
    return countRunningCopies(Platform::processListerProgram(), QCoreApplication::applicationName(),
                              timeoutMs);
}
