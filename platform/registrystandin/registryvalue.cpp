#include "registryvalue.h"

#include <QMetaType>
#include <QtEndian>

namespace Platform {

QString utf16Text(const char *bytes, int size, QSysInfo::Endian order)
{
    QString text(size / 2, Qt::Uninitialized);
    if (order == QSysInfo::LittleEndian)
        qFromLittleEndian<quint16>(bytes, text.size(), text.data());
    else
        qFromBigEndian<quint16>(bytes, text.size(), text.data());
    return text;
}

QByteArray utf16LeBytes(const QString &text)
{
    QByteArray bytes(text.size() * 2, Qt::Uninitialized);
    qToLittleEndian<quint16>(text.utf16(), text.size(), bytes.data());
    return bytes;
}

QString RegistryValue::toString(bool *ok) const
{
    *ok = type == String || type == ExpandString;
    if (!*ok)
        return QString();
    const QString text = utf16Text(data.constData(), data.size());
    const int end = text.indexOf(QChar(0));
    return end < 0 ? text : text.left(end);
}

QStringList RegistryValue::toStringList(bool *ok) const
{
    *ok = type == MultiString;
    if (!*ok)
        return QStringList();
    QStringList strings = utf16Text(data.constData(), data.size()).split(QChar(0));
    // Each string ends in a NUL and the list in one more: what follows the last string is no item.
    while (!strings.isEmpty() && strings.last().isEmpty())
        strings.removeLast();
    return strings;
}

qlonglong RegistryValue::toLongLong(bool *ok) const
{
    *ok = true;
    if (type == Dword && data.size() == 4)
        return qFromLittleEndian<quint32>(data.constData());
    if (type == DwordBigEndian && data.size() == 4)
        return qFromBigEndian<quint32>(data.constData());
    if (type == Qword && data.size() == 8)
        return qFromLittleEndian<qint64>(data.constData());
    *ok = false;
    return 0;
}

void registerRegistryValueConversions()
{
    // QMetaType warns about a converter registered twice, so this runs once however often it is called.
    static const bool registered = [] {
        qRegisterMetaType<RegistryValue>("Platform::RegistryValue");
        QMetaType::registerEqualsComparator<RegistryValue>();
        QMetaType::registerConverter<RegistryValue, QString>(&RegistryValue::toString);
        QMetaType::registerConverter<RegistryValue, QStringList>(&RegistryValue::toStringList);
        QMetaType::registerConverter<RegistryValue, qlonglong>(&RegistryValue::toLongLong);
        QMetaType::registerConverter<RegistryValue, QByteArray>(&RegistryValue::toByteArray);
        return true;
    }();
    Q_UNUSED(registered)
}

} // namespace Platform
