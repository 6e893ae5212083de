#ifndef OSTREL_TESTS_SANDBOX_H
#define OSTREL_TESTS_SANDBOX_H

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// A private world for end-to-end runs of the real program: its own home, temporary, runtime and
// configuration folders, and a copy of the build's bin/ folder (the program and everything beside it)
// in a folder whose name has spaces. Shared-memory and semaphore objects that runs leave behind in the
// sandbox's temporary folder are removed with it.
class Sandbox
{
public:
    explicit Sandbox(const QString &installFolderName = QStringLiteral("Ostrel PDF Editor"));
    ~Sandbox();

    bool isValid() const { return m_valid; }
    QString root() const;
    QString homeDir() const;
    QString tempDir() const;
    QString runtimeDir() const;
    QString configDir() const;
    QString installDir() const;
    QString programPath() const;
    QString listerPath() const; // the process lister beside the program, which a test may replace

    // Where the copies collect the paths of one selection: in the runtime folder, or in the given base
    // folder when the program has to choose another.
    QString spoolPath(const QString &base = QString()) const;
    // Our own folder in the temporary folder (the sandbox's, or the one given), where the program puts the
    // spool folder when there is no private runtime folder.
    QString ownTempFolder(const QString &temporary = QString()) const;
    QString vendorConfigDir() const;  // the maker's folder in the configuration folder, holding:
    QString registryFile() const;     // the registry stand-in's hive
    QString editorConfigFile() const; // the editor's config.ini
    QString associationLog() const;   // calls of the file-association stand-in
    QString editorLog() const;        // starts recorded by the editor stand-in

    QProcessEnvironment environment() const;

    // Writes the editor's configuration with the given interface language.
    void writeEditorLanguage(const QString &language) const;

    struct Result
    {
        bool finished = false;
        int exitCode = -1;
        QProcess::ExitStatus exitStatus = QProcess::CrashExit;
        QByteArray standardOutput;
        QByteArray standardError;
    };

    // Runs the installed program (or another program) to its end, in the sandbox's environment or in the
    // one given.
    Result run(const QStringList &arguments, int timeoutMs = 60000, const QString &program = QString(),
               const QProcessEnvironment &environment = QProcessEnvironment()) const;

    // Starts one copy of the installed program (or another program) in the sandbox's environment, or in
    // the one given; the caller waits for it.
    std::unique_ptr<QProcess> start(const QStringList &arguments, const QString &program = QString(),
                                    const QProcessEnvironment &environment = QProcessEnvironment()) const;
    // Starts one copy per argument list as close together as possible; the caller waits for them.
    std::vector<std::unique_ptr<QProcess>> startAll(const QList<QStringList> &argumentLists,
                                                    const QString &program = QString()) const;
    // Waits for every copy; true when all ended normally within the time.
    static bool waitAll(const std::vector<std::unique_ptr<QProcess>> &processes, int timeoutMs);

    // Every start the editor stand-in recorded, each as its argument list; a malformed record reads as one
    // start with the single argument "<malformed>", so that it cannot go unnoticed.
    QList<QStringList> editorStarts() const;
    // Everything in the spool folder, hidden entries and folders included, by name.
    QStringList spoolEntries() const;

    // The key files of System V objects in a folder (the election's shared block, "<key>.block", and the
    // framework's own "qipc_*"), and the removal of the objects named by such files (the files stay). The
    // sandbox does this for its own temporary and runtime folders when it goes; a test whose runs use
    // another folder does it itself.
    static QStringList ipcKeyFiles(const QString &folder);
    static void removeIpcObjects(const QStringList &keyFiles);

    QTemporaryDir m_dir;
    bool m_valid = false;
    QString m_installFolderName;
};

// Folder of the build's programs (build/bin).
QString buildBinDir();

// Every path handed to the editor so far, over all its starts; each start must carry one argument that
// begins with the verb flag, or the result is a single "<...>" line that says what was wrong.
QStringList handedOffPaths(const Sandbox &sandbox, const QString &verbFlag);

// Every path handed to the editor so far by the verb flag it went under, each verb's paths sorted; a start
// that does not carry exactly one argument shows as the key "<malformed>".
QMap<QString, QStringList> handedOffPathsByVerb(const Sandbox &sandbox);

#endif
