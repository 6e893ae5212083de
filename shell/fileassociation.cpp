#include "fileassociation.h"

#include "registrylog.h"

#include <QCoreApplication>
#include <QLibrary>

namespace {

// Both arguments are NUL-terminated UTF-16 strings on every platform (wchar_t is 16 bits on Windows).
using SetFileAssociationFunction = int (*)(const ushort *extension, const ushort *programIdentifier);

const ushort *terminatedUtf16(const QString &text)
{
    static const ushort emptyText[] = {0};
    return text.isEmpty() ? emptyText : text.utf16();
}

} // namespace

void setFileAssociation(const QString &extension, const QString &programIdentifier)
{
    // QLibrary adds the platform's prefix and suffix (FileAssociation.dll, FileAssociation.so). The library
    // stays loaded for the rest of this short run; unloading it buys nothing.
    QLibrary library(QCoreApplication::applicationDirPath() + QLatin1String("/FileAssociation"));
    const auto function = reinterpret_cast<SetFileAssociationFunction>(library.resolve("SetFileAssociation"));
    if (!function) {
        qCDebug(lcRegistry, "pid %lld: SetFileAssociation not called: %s", QCoreApplication::applicationPid(),
                qUtf8Printable(library.errorString()));
        return;
    }
    const int result = function(terminatedUtf16(extension), terminatedUtf16(programIdentifier));
    qCDebug(lcRegistry, "pid %lld: SetFileAssociation(\"%s\", \"%s\") returned %d",
            QCoreApplication::applicationPid(), qUtf8Printable(extension), qUtf8Printable(programIdentifier),
            result);
}
