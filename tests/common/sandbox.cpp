#include "sandbox.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

QString buildBinDir()
{
    return QStringLiteral(OSTREL_BUILD_BIN_DIR);
}

Sandbox::Sandbox(const QString &installFolderName)
    : m_installFolderName(installFolderName)
{
    if (!m_dir.isValid())
        return;
    QDir root(m_dir.path());
    for (const char *sub : {"home", "tmp", "runtime", "config", "data", "cache"})
        root.mkpath(QLatin1String(sub));
    QFile::setPermissions(runtimeDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // Copy the program with everything beside it, so that each sandbox has its own installation
    // (and therefore its own instance key).
    root.mkpath(installDir());
    QDirIterator it(buildBinDir(), QDir::Files);
    bool copied = true;
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = installDir() + QLatin1Char('/') + it.fileName();
        copied = QFile::copy(source, target) && copied;
        QFile::setPermissions(target, QFile(source).permissions());
    }
    m_valid = copied && QFileInfo::exists(programPath());
}

Sandbox::~Sandbox()
{
    removeIpcObjects(ipcKeyFiles(tempDir()) + ipcKeyFiles(ownTempFolder()) + ipcKeyFiles(runtimeDir()));
}

QString Sandbox::root() const
{
    return m_dir.path();
}
QString Sandbox::homeDir() const
{
    return root() + QLatin1String("/home");
}
QString Sandbox::tempDir() const
{
    return root() + QLatin1String("/tmp");
}
QString Sandbox::runtimeDir() const
{
    return root() + QLatin1String("/runtime");
}
QString Sandbox::configDir() const
{
    return root() + QLatin1String("/config");
}
QString Sandbox::installDir() const
{
    return root() + QLatin1Char('/') + m_installFolderName;
}
QString Sandbox::programPath() const
{
    return installDir() + QLatin1String("/OstrelContextMenu");
}
QString Sandbox::listerPath() const
{
    return installDir() + QLatin1String("/tasklist");
}
QString Sandbox::spoolPath(const QString &base) const
{
    return (base.isEmpty() ? runtimeDir() : base) + QLatin1String("/Ostrel_PDF_Editor_ContextMenu");
}
QString Sandbox::ownTempFolder(const QString &temporary) const
{
    return (temporary.isEmpty() ? tempDir() : temporary) + QStringLiteral("/ostrel-%1").arg(geteuid());
}
QString Sandbox::vendorConfigDir() const
{
    return configDir() + QLatin1String("/Ostrel");
}
QString Sandbox::registryFile() const
{
    return vendorConfigDir() + QLatin1String("/registry.reg");
}
QString Sandbox::associationLog() const
{
    return vendorConfigDir() + QLatin1String("/file-association.log");
}
QString Sandbox::editorLog() const
{
    return vendorConfigDir() + QLatin1String("/editor-starts.log");
}

QString Sandbox::editorConfigFile() const
{
    return vendorConfigDir() + QLatin1String("/Ostrel PDF Editor/config.ini");
}

QProcessEnvironment Sandbox::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // No logging rule or message format of whoever runs the tests: a test that wants the trail sets it.
    for (const char *variable : {"QT_LOGGING_RULES", "QT_LOGGING_CONF", "QT_MESSAGE_PATTERN"})
        env.remove(QLatin1String(variable));
    env.insert(QStringLiteral("HOME"), homeDir());
    env.insert(QStringLiteral("TMPDIR"), tempDir());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configDir());
    env.insert(QStringLiteral("XDG_DATA_HOME"), root() + QLatin1String("/data"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), root() + QLatin1String("/cache"));
    return env;
}

void Sandbox::writeEditorLanguage(const QString &language) const
{
    QDir().mkpath(QFileInfo(editorConfigFile()).path());
    QSaveFile file(editorConfigFile());
    if (file.open(QIODevice::WriteOnly)) {
        file.write("[Main]\nLanguage=" + language.toUtf8() + "\n");
        file.commit();
    }
}

Sandbox::Result Sandbox::run(const QStringList &arguments, int timeoutMs, const QString &program,
                             const QProcessEnvironment &environment) const
{
    Result result;
    QProcess process;
    process.setProcessEnvironment(environment.isEmpty() ? this->environment() : environment);
    process.setWorkingDirectory(root());
    process.start(program.isEmpty() ? programPath() : program, arguments);
    if (!process.waitForStarted(timeoutMs))
        return result;
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.exitCode = process.exitCode();
    result.exitStatus = process.exitStatus();
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    return result;
}

std::unique_ptr<QProcess> Sandbox::start(const QStringList &arguments, const QString &program,
                                         const QProcessEnvironment &environment) const
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment.isEmpty() ? this->environment() : environment);
    process->setWorkingDirectory(root());
    process->start(program.isEmpty() ? programPath() : program, arguments);
    return process;
}

std::vector<std::unique_ptr<QProcess>> Sandbox::startAll(const QList<QStringList> &argumentLists,
                                                         const QString &program) const
{
    std::vector<std::unique_ptr<QProcess>> processes;
    const QProcessEnvironment env = environment();
    for (const QStringList &arguments : argumentLists)
        processes.push_back(start(arguments, program, env));
    return processes;
}

bool Sandbox::waitAll(const std::vector<std::unique_ptr<QProcess>> &processes, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    bool allEnded = true;
    for (const auto &process : processes) {
        if (process->state() != QProcess::NotRunning &&
            !process->waitForFinished(int(qMax<qint64>(1, deadline.remainingTime())))) {
            allEnded = false;
            process->kill();
            process->waitForFinished(5000);
        }
    }
    return allEnded;
}

QStringList Sandbox::ipcKeyFiles(const QString &folder)
{
    QStringList files;
    QDirIterator it(folder, {QStringLiteral("qipc_*"), QStringLiteral("*.block")},
                    QDir::Files | QDir::Hidden);
    while (it.hasNext())
        files.append(it.next());
    return files;
}

// System V objects outlive the processes that made them. The framework derives their keys from files it
// keeps in the temporary folder, so the keys can be found and the objects removed before the files go.
void Sandbox::removeIpcObjects(const QStringList &keyFiles)
{
    for (const QString &file : keyFiles) {
        const QByteArray path = QFile::encodeName(file);
        const key_t key = ftok(path.constData(), 'Q');
        if (key == -1)
            continue;
        const int shmId = shmget(key, 0, 0);
        if (shmId != -1)
            shmctl(shmId, IPC_RMID, nullptr);
        const int semId = semget(key, 0, 0);
        if (semId != -1)
            semctl(semId, 0, IPC_RMID);
    }
}

QList<QStringList> Sandbox::editorStarts() const
{
    QList<QStringList> starts;
    QFile log(editorLog());
    if (!log.open(QIODevice::ReadOnly))
        return starts;
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        const QJsonDocument record = QJsonDocument::fromJson(line);
        QStringList arguments;
        if (!record.isArray())
            arguments.append(QStringLiteral("<malformed>"));
        for (const QJsonValue &value : record.array())
            arguments.append(value.toString());
        starts.append(arguments);
    }
    return starts;
}

QStringList Sandbox::spoolEntries() const
{
    return QDir(spoolPath()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

QStringList handedOffPaths(const Sandbox &sandbox, const QString &verbFlag)
{
    QStringList paths;
    for (const QStringList &arguments : sandbox.editorStarts()) {
        if (arguments.size() != 1)
            return {QStringLiteral("<editor started with %1 arguments>").arg(arguments.size())};
        QStringList parts = arguments.first().split(QLatin1Char(';'));
        if (parts.takeFirst() != verbFlag)
            return {QStringLiteral("<wrong verb flag in %1>").arg(arguments.first())};
        paths += parts;
    }
    return paths;
}

QMap<QString, QStringList> handedOffPathsByVerb(const Sandbox &sandbox)
{
    QMap<QString, QStringList> paths;
    for (const QStringList &arguments : sandbox.editorStarts()) {
        if (arguments.size() != 1) {
            paths[QStringLiteral("<malformed>")].append(arguments);
            continue;
        }
        QStringList parts = arguments.first().split(QLatin1Char(';'));
        paths[parts.takeFirst()] += parts;
    }
    for (QStringList &ofVerb : paths)
        ofVerb.sort();
    return paths;
}
