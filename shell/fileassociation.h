#ifndef OSTREL_SHELL_FILEASSOCIATION_H
#define OSTREL_SHELL_FILEASSOCIATION_H

#include <QString>

// Hands an association to SetFileAssociation in the FileAssociation library beside the program. An empty
// program identifier is passed as an empty string, never as a null pointer. A missing library or symbol
// skips the call; the library's own result is not looked at.
void setFileAssociation(const QString &extension, const QString &programIdentifier);

#endif
