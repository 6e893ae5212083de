#ifndef OSTREL_APP_PEERCENSUS_H
#define OSTREL_APP_PEERCENSUS_H

#include <QByteArray>
#include <QString>

// How long the census waits for the process lister before it gives up on that run.
constexpr int ProcessListerTimeoutMs = 30000;

// Number of lines of a process lister's output that contain the application name. The output is decoded
// as UTF-8 up to its first zero byte and split at CR LF (empty parts kept); the name is searched for as
// plain text, case-sensitively, anywhere in a line.
int countMatchingLines(const QByteArray &listerOutput, const QString &applicationName);

// Runs a process lister without arguments and collects its standard output, whatever its exit status.
// False when it could not be started or had not finished after timeoutMs; a lister still running then is
// ended before this returns.
bool runProcessLister(const QString &program, int timeoutMs, QByteArray *output);

// How many lines of the given lister's output name a running copy, or -1 when the lister gave no list.
int countRunningCopies(const QString &listerProgram, const QString &applicationName,
                       int timeoutMs = ProcessListerTimeoutMs);

// The same count with the platform's lister and this program's application name.
int countRunningCopies(int timeoutMs = ProcessListerTimeoutMs);

#endif
