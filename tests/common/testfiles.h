#ifndef OSTREL_TESTS_TESTFILES_H
#define OSTREL_TESTS_TESTFILES_H

#include <QByteArray>
#include <QString>

// Writes the bytes to the file, replacing what it held and creating missing folders above it.
bool writeFile(const QString &path, const QByteArray &bytes);

// Writes the bytes as writeFile does, then dates the file's last change the given time before now (by the
// wall clock; negative: after now).
bool writeFileDated(const QString &path, const QByteArray &bytes, qint64 msAgo);

// The file's bytes, empty when it cannot be read.
QByteArray readFile(const QString &path);

// The same for text, in UTF-8.
bool writeText(const QString &path, const QString &text);
QString readText(const QString &path);

// Writes the content and makes the file executable for its owner (only).
bool writeExecutable(const QString &path, const QByteArray &content);

// A shell script "<folder>/<name>" that runs the given lines; its path, or an empty string on failure.
// Stands in for a program such as the process lister.
QString writeShellProgram(const QString &folder, const QString &name, const QByteArray &lines);

// A program "<folder>/<name>" that prints exactly the given bytes and ends with status 0.
QString writePrintingProgram(const QString &folder, const QString &name, const QByteArray &output);

#endif
