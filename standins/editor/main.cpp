// Stands in for the PDF editor. Each start appends one line to
// <generic config location>/Ostrel/editor-starts.log: a compact JSON array of the arguments it was given
// (without the program path), so that a test can see how many starts there were and what each received;
// and its process id, one line each, to editor-processes.log beside it, so that a test can tell which
// process a trace names.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLockFile>
#include <QStandardPaths>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);

    const QString logPath = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                            QLatin1String("/Ostrel/editor-starts.log");
    QDir().mkpath(QFileInfo(logPath).absolutePath());

    const QJsonArray record = QJsonArray::fromStringList(QCoreApplication::arguments().mid(1));
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';

    // Several editors may start at once; the lock keeps their lines whole.
    QLockFile lock(logPath + QLatin1String(".lock"));
    lock.setStaleLockTime(10000);
    if (!lock.tryLock(30000))
        return 1;
    const auto append = [](const QString &path, const QByteArray &text) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Append) && file.write(text) == text.size();
    };
    const QString processLog = QFileInfo(logPath).absolutePath() + QLatin1String("/editor-processes.log");
    const bool written = append(logPath, line) &&
                         append(processLog, QByteArray::number(QCoreApplication::applicationPid()) + '\n');
    return written ? 0 : 1;
}
