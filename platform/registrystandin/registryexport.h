#ifndef OSTREL_PLATFORM_REGISTRYEXPORT_H
#define OSTREL_PLATFORM_REGISTRYEXPORT_H

// The text of a Windows registry export ("reg export"), read into and written from the map that QSettings
// hands a custom format: the Linux registry stand-in keeps its hive in this text (registryhive.cpp).
//
// In the map, a value is an entry "HKEY_.../Key/Sub/name" ("." for the key's default value). Its QVariant
// is a QString for "...", an int for "dword:", a QByteArray for "hex:" and a Platform::RegistryValue for
// every "hex(N):", which keeps the type and the bytes as read (registryvalue.h).
//
// A key is an entry whose name ends in '/' (an empty last segment, which no QSettings caller can write or
// read; childKeys() lists it as a value without a name), so that keys without values survive a read and a
// write, as they do in the registry; removing a key removes that entry with everything else beneath it.
// Within one process QSettings keeps the map it last wrote for as long as the file stays unchanged, and in
// that map a key created by writing a value has no such entry until the file is read again: emptied again
// by a removal in the same process, it would go with its last value (the program only removes before it
// writes).
//
// QSettings separates keys with '/', which registry key and value names may hold ("image/png" under
// Classes\MIME). In the map such a slash is the noncharacter U+FDD0; U+FDD1 makes the character after it
// literal, for the rare name that holds either noncharacter or a value named "." (which would otherwise be
// the default value). Names without these characters are the same in the map as in the export.
//
// Both directions take time in step with the size of the text (a deep key's path is in it once for every
// key beneath it, so that size grows with the square of the depth; the work grows with the text, not
// faster).

#include <QByteArray>
#include <QChar>
#include <QSettings>

namespace Platform {

constexpr char RegistryExportHeader[] = "Windows Registry Editor Version 5.00";
constexpr char LegacyRegistryExportHeader[] = "REGEDIT4"; // read, never written

constexpr QChar RegistryMapSlash(0xfdd0);   // a '/' in a registry name
constexpr QChar RegistryMapLiteral(0xfdd1); // the next character is itself

// Reads an export: UTF-8 with or without a byte-order mark or UTF-16 with one, LF or CR LF line ends,
// either header, ";" comments, hex data continued over lines. Empty bytes are an empty hive. False for
// anything else; `map` may then hold part of the text.
bool parseRegistryExport(const QByteArray &bytes, QSettings::SettingsMap *map);

// Writes `map` as an export: UTF-8 without a byte-order mark, LF line ends; keys depth first with children
// by name regardless of case, the default value first, then named values by name; hex data wrapped at 80
// columns. False for a value without a key, a key without a name or a value of a type it cannot spell.
bool writeRegistryExport(const QSettings::SettingsMap &map, QByteArray *bytes);

} // namespace Platform

#endif
