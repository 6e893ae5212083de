#include "registryvalue.h"

#include <QMetaType>
#include <QtEndian>

namespace {

QString utf16LeText(const QByteArray &bytes)
{
    QString text;
    text.reserve(bytes.size() / 2);
    for (int i = 0; i + 1 < bytes.size(); i += 2)
        text.append(QChar(ushort(uchar(bytes.at(i)) | uchar(bytes.at(i + 1)) << 8)));
    return text;
}

} // namespace

namespace Platform {

QString RegistryValue::toString(bool *ok) const
{
    *ok = type == String || type == ExpandString;
    if (!*ok)
        return QString();
    const QString text = utf16LeText(data);
    const int end = text.indexOf(QChar(0));
    return end < 0 ? text : text.left(end);
}

QStringList RegistryValue::toStringList(bool *ok) const
{
    *ok = type == MultiString;
    if (!*ok)
        return QStringList();
    QStringList strings = utf16LeText(data).split(QChar(0));
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
