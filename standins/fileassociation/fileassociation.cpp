// Stand-in for the closed file-association library: records each call, one line per call, in
// <generic config location>/Ostrel/file-association.log (extension, a tab, program identifier; UTF-8, LF),
// so that the order and the arguments of the calls can be checked.

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QString>

#if defined(_WIN32)
#define OSTREL_FILEASSOCIATION_EXPORT __declspec(dllexport)
#else
#define OSTREL_FILEASSOCIATION_EXPORT __attribute__((visibility("default")))
#endif

// Both arguments are NUL-terminated UTF-16 strings (wchar_t on Windows). Returns nonzero when recorded.
extern "C" OSTREL_FILEASSOCIATION_EXPORT int SetFileAssociation(const char16_t *extension,
                                                                const char16_t *programIdentifier)
{
    // The real library dereferences both; a null pointer is refused here so that a caller passing one
    // shows up as a missing line.
    if (!extension || !programIdentifier)
        return 0;
    const QString folder =
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QLatin1String("/Ostrel");
    QDir().mkpath(folder);
    QFile log(folder + QLatin1String("/file-association.log"));
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append))
        return 0;
    const QByteArray line =
        QString::fromUtf16(extension).toUtf8() + '\t' + QString::fromUtf16(programIdentifier).toUtf8() + '\n';
    // One write per line keeps concurrent callers' lines whole (the file is opened for appending).
    return log.write(line) == line.size() ? 1 : 0;
}
