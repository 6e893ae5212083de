#ifndef OSTREL_APP_LAUNCHER_H
#define OSTREL_APP_LAUNCHER_H

#include <QElapsedTimer>
#include <QSet>
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

// What the primary watches of the spool folder while it waits: the names of the spool files there now, and
// when one of them was last written (milliseconds since the epoch by the wall clock, -1 when unknown).
struct SpoolFolderView
{
    std::function<QStringList()> fileNames;
    std::function<qint64(const QString &fileName)> modifiedMsSinceEpoch;
};

// The real folder: its plain, visible files, as listSpoolFiles sees them.
SpoolFolderView spoolFolderView(const QString &spoolPath);

// Notices spool files that were not there before and keeps, on the monotonic clock, when the latest one
// arrived. What the folder holds when the object is made counts as already there, and the quiet time
// counts from then.
class SpoolArrivals
{
public:
    explicit SpoolArrivals(SpoolFolderView folder);

    // Lists the folder again; every name the previous listing did not have is an arrival.
    void look();

    // Milliseconds since the latest arrival (or since the object was made, when nothing arrived).
    qint64 quietMs() const;

    // How many files arrived so far.
    int arrivals() const { return m_arrivals; }

private:
    qint64 estimatedArrival(const QString &fileName, qint64 noticedAt, qint64 wallClockAtNotice) const;

    SpoolFolderView m_folder;
    QElapsedTimer m_clock;
    QSet<QString> m_known;
    qint64 m_previousListingAt = 0;
    qint64 m_latestArrivalAt = 0;
    int m_arrivals = 0;
};

// How long the primary waits for its peers to end before it hands off what it has.
struct PeerWaitBounds
{
    int initialWaitMs = 200; // after the own spool file, before the first census
    int quietWindowMs = 200; // no new spool file for this long before a hand-off (the cap aside)
    int settleMs = 3000;     // stop when the copy count has not changed for this long
    int capMs = 30000;       // stop after this long in any case, counted from the first census
    int retryPauseMs = 100;  // pause after a census that gave no usable count
    int passPauseMs = 10;    // pause between two passes that saw other copies, processing events
    int listerTimeoutMs = 30000;
};

enum class PeerWaitOutcome {
    OnlyCopy,     // a census counted exactly one copy, and no spool file arrived for quietWindowMs
    CountSettled, // the count stayed the same (or no census worked) for settleMs, and the folder was quiet
    CapReached,   // capMs ran out while the count still changed or spool files kept arriving
};

// Waits initialWaitMs, then polls the census until it reports one copy and the spool folder has been quiet
// for quietWindowMs, or a bound is hit, processing pending events in every pause. The census gets the
// time-out to use for its lister and answers with the number of running copies; zero or less means it
// could not tell.
PeerWaitOutcome waitForPeersToEnd(const std::function<int(int listerTimeoutMs)> &census,
                                  SpoolArrivals &arrivals, const PeerWaitBounds &bounds = PeerWaitBounds());

#endif
