#ifndef OSTREL_APP_SPOOLFOLDER_H
#define OSTREL_APP_SPOOLFOLDER_H

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// The folder in which the copies of one selection leave their paths for the primary: one file per copy,
// named after its process id, one line per path: "<verb flag>;<path>".

// A spool file last written longer ago than this belongs to no selection that the user still waits for:
// a selection is gathered within the primary's wait (its cap, quiet window and last census, about a
// minute at the most), so no file of a selection still being gathered is this old. Such a file is
// removed without being handed off.
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

// What the primary collected from the spool folder.
struct GatheredSelection
{
    QList<SpooledPath> paths;  // in spool-file order, then line order
    QStringList consumedFiles; // spool files that were read and may be removed
    QStringList staleFiles;    // older than SpoolFileMaxAgeMs, not read: spool files and unfinished ones
};

// The spool folder of this account, by value: every copy of a selection finds the same one.
class SpoolFolder
{
public:
    // The platform's private folder for it; not available when the platform has none.
    static SpoolFolder ofThisAccount();

    explicit SpoolFolder(const QString &path = QString());

    // False when the platform had no private folder: then nothing is spooled or gathered anywhere.
    bool isAvailable() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }

    // The spool file of the process with the given id: "<path>/<pid>.txt".
    QString filePathFor(qint64 processId) const;

    // Makes the folder when it is missing; the only place that does.
    void create() const;

    // Appends the line "<verb flag>;<path>" to the process's spool file (UTF-8, no byte-order mark), making
    // the file and the folder when missing; what a file older than SpoolFileMaxAgeMs held is dropped. The
    // file appears whole or not at all: the lines are written under "<path>/.<pid>.txt.partial", which
    // nothing lists, and that file then replaces the spool file. True when the spool file with the new
    // line is in place; false when it could not be written (a full disk, no folder) and holds nothing new.
    bool write(qint64 processId, const QString &verbFlag, const QString &path) const;

    // Absolute paths of the plain, visible files directly inside the folder whose names do not begin with a
    // dot (on any platform), ordered by name code unit by code unit (so "1234.txt" comes before "456.txt",
    // and "123.txt" before "1234.txt").
    QStringList list() const;

    // Every path of every listed file that could be read and is not older than SpoolFileMaxAgeMs, in file
    // order, then line order; and the files too old to be handed off, unfinished ones included.
    GatheredSelection gather() const;

    // Removes the given spool files, then the folder itself when nothing else is left in it.
    void removeGathered(const QStringList &files) const;

    // The folder as the primary watches it while it waits: the files list() takes. A file being written is
    // not there yet; it arrives when it is put in place.
    SpoolFolderView view() const;

private:
    QString m_path;
};

#endif
