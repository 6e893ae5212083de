#ifndef OSTREL_SHELL_CONTEXTMENU_H
#define OSTREL_SHELL_CONTEXTMENU_H

#include <QString>

// Writes the editor's program identifier, the four context-menu verbs for .pdf files and the file
// association.
void registerContextMenu();

// Removes what registerContextMenu writes (and the older unnumbered verb keys), then clears the association.
void unregisterContextMenu();

// Writes one verb key with its Command subkey; does nothing when any argument is empty.
void writeVerbKey(const QString &keyPath, const QString &verbFlag, const QString &caption);

#endif
