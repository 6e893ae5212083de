#include "fileassociation.h"

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
    if (!function)
        return;
    function(terminatedUtf16(extension), terminatedUtf16(programIdentifier));
}
