#ifndef OSTREL_APP_LAUNCHER_H
#define OSTREL_APP_LAUNCHER_H

#include <QString>
#include <QStringList>

#include <functional>

class SingleApplication;

// Hands one selection to the editor. A secondary copy spools its path and ends the process (exit code 0);
// the primary spools its own path, waits for its peers to finish, gathers every spooled path and starts
// the editor once with the verb flag and all paths.
void gatherAndLaunch(SingleApplication &app, const QStringList &arguments, const QString &spoolPath,
                     const QString &verbFlag);

// The spool file of the process with the given id: "<spoolPath>/<pid>.txt".
QString spoolFilePath(const QString &spoolPath, qint64 processId);

// Appends the text and a line feed to the file (UTF-8, no byte-order mark), creating the file and its
// folder when missing.
void writeSpoolFile(const QString &filePath, const QString &text);

// Absolute paths of the plain, visible files directly inside the folder, ordered by name code unit by
// code unit (so "1234.txt" comes before "456.txt", and "123.txt" before "1234.txt").
QStringList listSpoolFiles(const QString &directoryPath);

// The paths held by one spool file: its UTF-8 lines, each without a trailing carriage return, empty
// lines dropped. Sets *opened to whether the file could be read at all.
QStringList readSpoolFile(const QString &filePath, bool *opened = nullptr);

// What the primary collected from the spool folder.
struct GatheredSelection
{
    QStringList paths;         // in spool-file order, then line order
    QStringList consumedFiles; // spool files that were read and may be removed
};
GatheredSelection gatherSpoolFiles(const QString &spoolPath);

// Removes the given spool files, then the folder itself when nothing else is left in it.
void removeGatheredFiles(const QStringList &files, const QString &spoolPath);

// The one argument the editor receives: the verb flag and every path, joined by ';' without escaping.
QString handOffArgument(const QString &verbFlag, const QStringList &paths);

// The editor, expected beside this program.
QString editorProgramPath();

// How long the primary waits for its peers to end before it hands off what it has.
struct PeerWaitBounds
{
    int settleMs = 3000;    // stop when the copy count has not changed for this long
    int capMs = 30000;      // stop after this long in any case
    int retryPauseMs = 100; // pause after a census that gave no usable count
    int passPauseMs = 10;   // pause between two passes that saw other copies, processing events
    int listerTimeoutMs = 30000;
};

enum class PeerWaitOutcome {
    OnlyCopy,     // a census counted exactly one copy
    CountSettled, // the count stayed the same (or no census worked) for settleMs
    CapReached,   // capMs ran out while the count still changed
};

// Polls the census until it reports one copy or a bound is hit, processing pending events between
// passes. The census gets the time-out to use for its lister and answers with the number of running
// copies; zero or less means it could not tell.
PeerWaitOutcome waitForPeersToEnd(const std::function<int(int listerTimeoutMs)> &census,
                                  const PeerWaitBounds &bounds = PeerWaitBounds());

#endif
