#ifndef OSTREL_APP_SPOOLFOLDER_H
#define OSTREL_APP_SPOOLFOLDER_H

#include <QString>
#include <QStringList>

#include <functional>

// The folder in which the copies of one selection leave their paths for the primary: one file per copy,
// named after its process id, one path per line.

// The folder; empty when the platform has no private folder for it.
QString selectionSpoolPath();

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

// What the primary watches of the spool folder while it waits: the names of the spool files there now, and
// when one of them was last written (milliseconds since the epoch by the wall clock, -1 when unknown).
struct SpoolFolderView
{
    std::function<QStringList()> fileNames;
    std::function<qint64(const QString &fileName)> modifiedMsSinceEpoch;
};

// The real folder: its plain, visible files, as listSpoolFiles sees them.
SpoolFolderView spoolFolderView(const QString &spoolPath);

#endif
