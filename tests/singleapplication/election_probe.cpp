// A stand-in application for the election tests: it constructs SingleApplication with the options of its
// command line, reports its role, and optionally stays up serving its local server until told to end.
//
//   election_probe [--no-secondary] [--options N] [--timeout MS] [--user-data TEXT] [--listen]
//                  [--wait-file PATH]
//
// Output, one line each, flushed at once:
//   role primary|secondary <instance id> <pid>
//   key <instance key>
//   started                       (instanceStarted, with --listen)
//   message <instance id> <hex>   (receivedMessage, with --listen)

#include "singleapplication.h"

#include <QByteArray>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void printLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    bool allowSecondary = true;
    bool listen = false;
    quint32 options = SingleApplication::UserScoped;
    int timeoutMs = 1000;
    QString userData;
    QString waitFile;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (!std::strcmp(arg, "--no-secondary"))
            allowSecondary = false;
        else if (!std::strcmp(arg, "--listen"))
            listen = true;
        else if (!std::strcmp(arg, "--options") && hasValue)
            options = quint32(std::strtoul(argv[++i], nullptr, 0));
        else if (!std::strcmp(arg, "--timeout") && hasValue)
            timeoutMs = std::atoi(argv[++i]);
        else if (!std::strcmp(arg, "--user-data") && hasValue)
            userData = QString::fromLocal8Bit(argv[++i]);
        else if (!std::strcmp(arg, "--wait-file") && hasValue)
            waitFile = QString::fromLocal8Bit(argv[++i]);
    }

    SingleApplication app(argc, argv, allowSecondary, SingleApplication::StartOptions(options), timeoutMs,
                          userData);
    printLine("role " + QByteArray(app.runsAsSecondary() ? "secondary " : "primary ") +
              QByteArray::number(app.instanceId()) + ' ' + QByteArray::number(app.applicationPid()));
    printLine("key " + app.instanceKey().toLatin1());

    if (listen) {
        QObject::connect(&app, &SingleApplication::instanceStarted, [] { printLine("started"); });
        QObject::connect(&app, &SingleApplication::receivedMessage,
                         [](quint32 id, const QByteArray &message) {
                             printLine("message " + QByteArray::number(id) + ' ' + message.toHex());
                         });
    }
    if (waitFile.isEmpty())
        return 0;

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (QFileInfo::exists(waitFile))
            app.quit();
    });
    poll.start(20);
    return app.exec();
}
