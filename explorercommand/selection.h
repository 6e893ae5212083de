#ifndef OSTREL_EXPLORERCOMMAND_SELECTION_H
#define OSTREL_EXPLORERCOMMAND_SELECTION_H

#include <shobjidl.h>

#include <string>
#include <vector>

// The selection Explorer hands the command, as the classic verbs would see it.
namespace Selection {

// Whether the classic verbs would be offered for it: at least one item and at most PlayerSelectionLimit,
// each a file-system item whose name ends in ".pdf" (letter case ignored). A null array fits nothing. Reads
// only the array's count and its items' names, never the disk.
bool fitsClassicVerbs(IShellItemArray *items);

// The file-system paths of the items, in the array's order; false if any item has none.
bool fileSystemPaths(IShellItemArray *items, std::vector<std::wstring> &paths);

} // namespace Selection

#endif
