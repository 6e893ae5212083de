#ifndef OSTREL_PLATFORM_REGISTRYVALUE_H
#define OSTREL_PLATFORM_REGISTRYVALUE_H

// How the Linux registry stand-in holds a value that the hive spells in hex ("hex(2):25,00,...", any
// "hex(N):"): its registry type and its data bytes exactly as stored, so that a value another program
// wrote comes back with the same type and bytes however the program changes the keys around it. Plain
// strings, "dword:" numbers and "hex:" bytes are held as QString, int and QByteArray instead.
//
// QVariant converts it (once registerRegistryValueConversions has run, which opening the stand-in does) to
// QByteArray (the data bytes, for every type), QString (REG_SZ, REG_EXPAND_SZ: the UTF-16LE text up to its
// first NUL), QStringList (REG_MULTI_SZ) and qlonglong (REG_DWORD, REG_QWORD of the right size), so that
// QSettings::value(...).toString() reads an expandable string as it reads a plain one.

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QSysInfo>

namespace Platform {

// UTF-16 text as the registry stores it (little endian, as in REG_SZ data and Windows' exports), code unit
// for code unit: no byte-order mark added or taken away, unpaired surrogates kept. A last odd byte is left
// out.
QString utf16Text(const char *bytes, int size, QSysInfo::Endian order = QSysInfo::LittleEndian);
QByteArray utf16LeBytes(const QString &text);

struct RegistryValue
{
    // Registry type numbers, as hex(N) spells them.
    enum Type : quint32 {
        None = 0x0,
        String = 0x1,
        ExpandString = 0x2,
        Binary = 0x3,
        Dword = 0x4,
        DwordBigEndian = 0x5,
        Link = 0x6,
        MultiString = 0x7,
        Qword = 0xb,
    };

    quint32 type = None;
    QByteArray data;

    QString toString(bool *ok) const;
    QStringList toStringList(bool *ok) const;
    qlonglong toLongLong(bool *ok) const;
    QByteArray toByteArray() const { return data; }

    friend bool operator==(const RegistryValue &a, const RegistryValue &b)
    {
        return a.type == b.type && a.data == b.data;
    }
    friend bool operator!=(const RegistryValue &a, const RegistryValue &b) { return !(a == b); }
};

// Registers the type with QMetaType, with its equality and the conversions above; calls after the first
// do nothing.
void registerRegistryValueConversions();

} // namespace Platform

Q_DECLARE_METATYPE(Platform::RegistryValue)

#endif
