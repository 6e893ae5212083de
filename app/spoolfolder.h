#ifndef OSTREL_APP_SPOOLFOLDER_H
#define OSTREL_APP_SPOOLFOLDER_H

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// The folder in which the copies of one selection leave their paths for the primary: one file per copy,
// named after its process id and that of its selection's primary ("<pid>-<primary pid>.txt"; files of
// earlier versions and of copies without a role are "<pid>.txt"), one line per path: "<verb flag>;<path>".
// The primary takes each file it hands off by renaming it to ".<name>.claimed-<its pid>" first.

// A spool file of an earlier selection last written longer before the gathering primary's start than
// this belongs to no selection that the user still waits for: a selection is gathered within its
// primary's wait (its cap, quiet window and last census, about a minute at the most). Such a file is
// removed without being handed off. The files of the gathering primary's own selection are never stale.
constexpr qint64 SpoolFileMaxAgeMs = 5 * 60 * 1000;

// One path as a copy spooled it, with the verb flag that copy was started with. The flag is empty for a
// line of the earlier format, which held the path alone.
struct SpooledPath
{
    QString verbFlag;
    QString path;
};

// The paths held by one spool file: its UTF-8 lines, each without a trailing carriage return, empty
// lines dropped. A line that begins with one of the verbs' flags and a ';' carries that flag; any other
// line is a path of the earlier format (an absolute path never begins with "-"). Sets *opened to whether
// the file could be read at all.
QList<SpooledPath> readSpoolFile(const QString &filePath, bool *opened = nullptr);

// What the primary watches of the spool folder while it waits: the names of the spool files there now, and
// when one of them was last written (milliseconds since the epoch by the wall clock, -1 when unknown).
struct SpoolFolderView
{
    std::function<QStringList()> fileNames;
    std::function<qint64(const QString &fileName)> modifiedMsSinceEpoch;
};

// Whether a path can go into a spool file whole: one without a line break (CR or LF), which would end its
// line there and make the rest another line, read as a path (or a verb and a path) that nobody chose.
// Windows paths cannot hold either.
bool isSpoolablePath(const QString &path);

// The selection a spool file's name says it belongs to: the primary's process id of "<pid>-<primary
// pid>.txt", or 0 for any other name (earlier versions, copies without a role, files not ours).
qint64 selectionOfSpoolFile(const QString &fileName);

// The paths an earlier selection left: spooled for a primary that never handed them off (killed, or gone
// before a late copy spooled), or by copies that had no role.
struct EarlierSelection
{
    qint64 primaryProcessId = 0;    // 0: files that name no primary
    qint64 writtenMsSinceEpoch = 0; // its oldest file's last change, by the wall clock
    QList<SpooledPath> paths;
};

// The primary that gathers, and what tells its own selection's files from those of an earlier primary
// that had the same process id.
struct Gatherer
{
    qint64 processId = 0;
    qint64 startedMsSinceEpoch = 0; // by the wall clock, read before the election
    // A spool file under the primary's own name was there before it spooled: an earlier primary with this
    // id left a selection. Then only files of its id written after its start are its own.
    bool idUsedBefore = false;
};

// What the primary collected from the spool folder; every file it read it holds under a claimed name.
struct GatheredSelection
{
    QList<EarlierSelection> earlier; // each earlier selection apart, the oldest first
    QList<SpooledPath> paths;        // the primary's own selection, in spool-file order, then line order
    QStringList consumedFiles;       // claimed files that were read, to be removed after the hand-off
    QStringList staleFiles;          // of earlier selections, too old, not read: spool and unfinished files
};

// The spool folder of this account, by value: every copy of a selection finds the same one.
class SpoolFolder
{
public:
    // The platform's private folder for it; not available when the platform has none.
    static SpoolFolder ofThisAccount();

    explicit SpoolFolder(const QString &path = QString());

    // The same folder as the copies of the selection of the given primary write into it (0: a copy
    // without a role).
    SpoolFolder forSelectionOf(qint64 primaryProcessId) const;

    // False when the platform had no private folder: then nothing is spooled or gathered anywhere.
    bool isAvailable() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }

    // The spool file of the process with the given id: "<path>/<pid>-<primary pid>.txt", or
    // "<path>/<pid>.txt" without a primary.
    QString filePathFor(qint64 processId) const;

    // Makes the folder when it is missing; the only place that does.
    void create() const;

    // Appends the line "<verb flag>;<path>" to the process's spool file (UTF-8, no byte-order mark), making
    // the file and the folder when missing; what a file older than SpoolFileMaxAgeMs held is dropped. The
    // file appears whole or not at all: the lines are written under "<path>/.<pid>.txt.partial", which
    // nothing lists, and that file then replaces the spool file. True when the spool file with the new
    // line is in place; false when it could not be written or put in place (a full disk, no folder), or the
    // path is not spoolable.
    bool write(qint64 processId, const QString &verbFlag, const QString &path) const;

    // Absolute paths of the plain, visible files directly inside the folder whose names do not begin with a
    // dot (on any platform), ordered by name code unit by code unit (so "1234.txt" comes before "456.txt",
    // and "123.txt" before "1234.txt").
    QStringList list() const;

    // Takes the file for the claimer: renames it to ".<name>.claimed-<claimer pid>" in one step, so that
    // no other primary reads it and no listing takes it again. The claimed file's path, or an empty
    // string when it is gone (another primary took it) or could not be renamed (it stays as it is).
    QString claim(const QString &filePath, qint64 claimerProcessId) const;

    // Claims and reads what this primary hands off: its own selection (files of its id), and the earlier
    // selections (files of no primary or of one that is no longer running, and claimed files whose
    // claimer is gone) unless they are too old, judged against the gatherer's start. Files of another
    // running primary stay for it. Also lists the files too old to be handed off, unfinished ones
    // included.
    GatheredSelection gather(const Gatherer &gatherer) const;

    // Removes the given files, then the folder itself when nothing else is left in it. A file that cannot
    // be removed is logged with a warning; a claimed one is emptied then, so that no later primary that
    // takes it again hands its paths off a second time.
    void removeGathered(const QStringList &files) const;

    // The folder as the primary watches it while it waits: the files list() takes. A file being written is
    // not there yet; it arrives when it is put in place.
    SpoolFolderView view() const;

private:
    QString m_path;
    qint64 m_primaryProcessId = 0;
};

#endif
