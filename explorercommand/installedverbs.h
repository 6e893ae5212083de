#ifndef OSTREL_EXPLORERCOMMAND_INSTALLEDVERBS_H
#define OSTREL_EXPLORERCOMMAND_INSTALLEDVERBS_H

#include <string>
#include <vector>

// The classic verbs that install registered, read from the current user's registry whenever they are asked
// for, so that the first menu shows what the classic menu shows (titles in the language of the last
// install included). Only the registry is read: Explorer calls these while it builds its menu.
namespace InstalledVerbs {

// The key names of our verb table that exist under the shell key, in the order the classic menu shows them
// (by key name, letter case ignored).
std::vector<std::wstring> keyNames();

// A string value of a verb's key (subkey empty) or of a key below it; false when the key or the value is
// missing, is not a string, or is empty.
bool read(const std::wstring &keyName, const wchar_t *subkey, const wchar_t *valueName, std::wstring &value);

// The verb's registered command (its Command key's default value), false when there is none.
bool command(const std::wstring &keyName, std::wstring &commandLine);

// Whether any verb of ours is there with a command: the root is shown only then.
bool anyWithCommand();

} // namespace InstalledVerbs

#endif
