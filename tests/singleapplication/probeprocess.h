#ifndef OSTREL_TESTS_PROBEPROCESS_H
#define OSTREL_TESTS_PROBEPROCESS_H

#include "sandbox.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QSharedMemory>
#include <QStringList>

#include <memory>

// One running copy of the probe application inside a sandbox, with what it reported about itself.
struct Probe
{
    std::unique_ptr<QProcess> process;
    QByteArray output; // everything read from its standard output so far
    QString role;
    quint32 instanceId = 0;
    qint64 processId = 0;
    QString key;

    bool isPrimary() const { return role == QLatin1String("primary"); }

    // Reads output until a line equal to or starting with `prefix` shows up.
    bool waitForLine(const QByteArray &prefix, int timeoutMs = 20000)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            output += process->readAllStandardOutput();
            for (const QByteArray &line : output.split('\n'))
                if (line.startsWith(prefix))
                    return true;
            if (deadline.hasExpired() || process->state() == QProcess::NotRunning)
                return false;
            process->waitForReadyRead(int(qBound<qint64>(1, deadline.remainingTime(), 200)));
        }
    }

    QList<QByteArray> lines()
    {
        output += process->readAllStandardOutput();
        return output.split('\n');
    }

    // Waits for the role and key lines and parses them.
    bool readIdentity(int timeoutMs = 20000)
    {
        if (!waitForLine("key ", timeoutMs))
            return false;
        for (const QByteArray &line : output.split('\n')) {
            const QList<QByteArray> words = line.split(' ');
            if (words.value(0) == "role" && words.size() == 4) {
                role = QString::fromLatin1(words.at(1));
                instanceId = words.at(2).toUInt();
                processId = words.at(3).toLongLong();
            } else if (words.value(0) == "key" && words.size() == 2) {
                key = QString::fromLatin1(words.at(1));
            }
        }
        return !role.isEmpty() && !key.isEmpty();
    }

    bool finish(int timeoutMs = 20000)
    {
        const bool ended = process->waitForFinished(timeoutMs);
        output += process->readAllStandardOutput();
        return ended && process->exitStatus() == QProcess::NormalExit;
    }
};

inline Probe startProbe(const Sandbox &sandbox, const QStringList &arguments,
                        const QString &program = QString())
{
    Probe probe;
    probe.process = std::make_unique<QProcess>();
    probe.process->setProcessEnvironment(sandbox.environment());
    probe.process->setWorkingDirectory(sandbox.root());
    probe.process->start(program.isEmpty() ? QStringLiteral(ELECTION_PROBE_PATH) : program, arguments);
    probe.process->waitForStarted(20000);
    return probe;
}

// The framework places the files behind shared-memory keys and server names in the temporary folder,
// so the test has to look into the sandbox's to meet the probes there.
// Points this process's temporary and runtime folders at the sandbox's while it lives, so that names the
// program derives from them (its local server, the shared block and the election's lock) are the sandbox
// copies' names.
class SandboxFolders
{
public:
    explicit SandboxFolders(const Sandbox &sandbox)
        : m_saved{saved("TMPDIR"), saved("XDG_RUNTIME_DIR")}
    {
        qputenv("TMPDIR", QFile::encodeName(sandbox.tempDir()));
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(sandbox.runtimeDir()));
    }
    ~SandboxFolders()
    {
        for (const Saved &variable : m_saved) {
            if (variable.wasSet)
                qputenv(variable.name, variable.value);
            else
                qunsetenv(variable.name);
        }
    }
    SandboxFolders(const SandboxFolders &) = delete;
    SandboxFolders &operator=(const SandboxFolders &) = delete;

private:
    struct Saved
    {
        const char *name;
        QByteArray value;
        bool wasSet;
    };
    static Saved saved(const char *name) { return {name, qgetenv(name), qEnvironmentVariableIsSet(name)}; }

    Saved m_saved[2];
};

#endif
