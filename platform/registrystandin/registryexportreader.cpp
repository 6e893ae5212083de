// Reading a registry export into the settings map (registryexport.h). The text is read once, line by line;
// each key's path is turned into the map's spelling once, and the key is entered with every key above it.

#include "registryexport.h"
#include "registryvalue.h"

#include <QTextCodec>
#include <QVariant>

namespace {

using Platform::RegistryMapLiteral;
using Platform::RegistryMapSlash;
using Platform::RegistryValue;

// Writes one character of a registry name as the map spells it; returns the position after it.
QChar *putMapChar(QChar c, QChar *out)
{
    if (c == QLatin1Char('/')) {
        *out++ = RegistryMapSlash;
        return out;
    }
    if (c == RegistryMapSlash || c == RegistryMapLiteral)
        *out++ = RegistryMapLiteral;
    *out++ = c;
    return out;
}

QString valueNameInMap(const QString &name)
{
    QString mapName(name.size() * 2 + 1, Qt::Uninitialized);
    QChar *out = mapName.data();
    if (name == QLatin1String("."))
        *out++ = RegistryMapLiteral;
    for (const QChar c : name)
        out = putMapChar(c, out);
    mapName.truncate(int(out - mapName.constData()));
    return mapName;
}

// After the byte-order mark.
QString decodeUtf16(const QByteArray &bytes, QSysInfo::Endian order, bool *ok)
{
    *ok = bytes.size() % 2 == 0;
    return *ok ? Platform::utf16Text(bytes.constData() + 2, bytes.size() - 2, order) : QString();
}

// Windows writes exports as UTF-16LE with a byte-order mark; hand-made files are usually UTF-8.
bool decodeExportText(const QByteArray &bytes, QString *text)
{
    bool ok = true;
    if (bytes.startsWith("\xff\xfe")) {
        *text = decodeUtf16(bytes, QSysInfo::LittleEndian, &ok);
    } else if (bytes.startsWith("\xfe\xff")) {
        *text = decodeUtf16(bytes, QSysInfo::BigEndian, &ok);
    } else {
        const int offset = bytes.startsWith("\xef\xbb\xbf") ? 3 : 0;
        QTextCodec::ConverterState state;
        *text = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData() + offset,
                                                             bytes.size() - offset, &state);
        ok = state.invalidChars == 0 && state.remainingChars == 0;
    }
    return ok && !text->contains(QChar(0));
}

// The physical lines of the text, without their line ends (LF or CR LF).
class LineReader
{
public:
    explicit LineReader(const QString &text)
        : m_text(text)
    {}

    bool next(QStringRef *line)
    {
        if (m_position > m_text.size())
            return false;
        int end = m_text.indexOf(QLatin1Char('\n'), m_position);
        if (end < 0)
            end = m_text.size();
        *line = m_text.midRef(m_position, end - m_position);
        if (line->endsWith(QLatin1Char('\r')))
            line->chop(1);
        m_position = end + 1;
        return true;
    }

private:
    const QString &m_text;
    int m_position = 0;
};

// Reads a quoted name or string starting at `position` (on the opening quote); leaves `position` after
// the closing quote. The export escapes only backslash and double quote, each with a backslash.
bool readQuoted(const QStringRef &line, int &position, QString *result)
{
    if (position >= line.size() || line.at(position) != QLatin1Char('"'))
        return false;
    result->clear();
    int runStart = ++position; // characters since the last escape, appended in one piece
    for (; position < line.size(); ++position) {
        const QChar c = line.at(position);
        if (c == QLatin1Char('"')) {
            result->append(line.mid(runStart, position - runStart));
            ++position;
            return true;
        }
        if (c == QLatin1Char('\\')) {
            result->append(line.mid(runStart, position - runStart));
            if (++position == line.size())
                return false;
            runStart = position; // the escaped character starts the next run
        }
    }
    return false;
}

int hexDigit(QChar c)
{
    const ushort u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

// One to `maxDigits` hex digits and nothing else.
bool readHexNumber(const QStringRef &text, int maxDigits, quint32 *number)
{
    if (text.isEmpty() || text.size() > maxDigits)
        return false;
    *number = 0;
    for (const QChar c : text) {
        const int digit = hexDigit(c);
        if (digit < 0)
            return false;
        *number = *number << 4 | quint32(digit);
    }
    return true;
}

// "01,ab, ff": bytes of one or two hex digits separated by commas; nothing at all is no bytes.
bool readHexBytes(const QStringRef &text, QByteArray *bytes)
{
    bytes->clear();
    if (text.trimmed().isEmpty())
        return true;
    bytes->resize(text.size() / 2 + 1); // at least one character per byte and one per comma
    char *out = bytes->data();
    const QChar *c = text.constData();
    const QChar *const end = c + text.size();
    for (;;) {
        while (c != end && c->isSpace())
            ++c;
        int byte = 0;
        int digits = 0;
        for (int digit; c != end && (digit = hexDigit(*c)) >= 0; ++c, ++digits)
            byte = byte << 4 | digit;
        if (digits == 0 || digits > 2)
            return false;
        *out++ = char(byte);
        while (c != end && c->isSpace())
            ++c;
        if (c == end) {
            bytes->truncate(int(out - bytes->constData()));
            return true;
        }
        if (*c++ != QLatin1Char(','))
            return false;
    }
}

enum class DataResult { Value, Deletion, Invalid };

// Long hex data runs on over lines that end in a backslash; the continuation lines are indented. The
// bytes' text, joined into `joined` when it runs on.
QStringRef joinedHexText(const QStringRef &bytesText, LineReader &lines, QString *joined)
{
    if (!bytesText.trimmed().endsWith(QLatin1Char('\\')))
        return bytesText;
    QStringRef part = bytesText.trimmed();
    for (;;) {
        const bool continued = part.endsWith(QLatin1Char('\\'));
        *joined += continued ? part.left(part.size() - 1) : part;
        QStringRef line;
        if (!continued || !lines.next(&line))
            break;
        part = line.trimmed();
    }
    return QStringRef(joined);
}

// "hex:" (REG_BINARY in its usual spelling) and "hex(N):" data.
DataResult readHexValue(const QStringRef &data, LineReader &lines, QVariant *value)
{
    bool binary = false;
    quint32 type = RegistryValue::Binary;
    int bytesStart = -1;
    if (data.startsWith(QLatin1String("hex:"))) {
        binary = true;
        bytesStart = 4;
    } else if (data.startsWith(QLatin1String("hex("))) {
        const int close = data.indexOf(QLatin1String("):"));
        if (close < 0 || !readHexNumber(data.mid(4, close - 4), 8, &type))
            return DataResult::Invalid;
        bytesStart = close + 2;
    } else {
        return DataResult::Invalid;
    }
    QString joined;
    QByteArray bytes;
    if (!readHexBytes(joinedHexText(data.mid(bytesStart), lines, &joined), &bytes))
        return DataResult::Invalid;
    if (binary)
        *value = bytes;
    else
        *value = QVariant::fromValue(RegistryValue{type, bytes});
    return DataResult::Value;
}

// `data` is what follows '=' on the value's line; `lines` gives the continuation lines of hex data.
DataResult readValueData(const QStringRef &data, LineReader &lines, QVariant *value)
{
    if (data == QLatin1String("-"))
        return DataResult::Deletion;
    if (data.startsWith(QLatin1Char('"'))) {
        int position = 0;
        QString text;
        if (!readQuoted(data, position, &text) || !data.mid(position).trimmed().isEmpty())
            return DataResult::Invalid;
        *value = text;
        return DataResult::Value;
    }
    if (data.startsWith(QLatin1String("dword:"))) {
        quint32 number = 0;
        if (!readHexNumber(data.mid(6).trimmed(), 8, &number))
            return DataResult::Invalid;
        *value = int(number);
        return DataResult::Value;
    }
    return readHexValue(data, lines, value);
}

// "HKEY_...\A\B" as the map spells it ("HKEY_.../A/B"); false for a path with an empty segment.
bool keyPathInMap(const QStringRef &path, QString *mapPath)
{
    if (!path.startsWith(QLatin1String("HKEY_")))
        return false;
    mapPath->resize(path.size() * 2); // room for a map name's escapes
    QChar *out = mapPath->data();
    QChar previous = QLatin1Char('\\'); // so that an empty first name is caught like any other
    for (const QChar c : path) {
        if (c == QLatin1Char('\\')) {
            if (previous == QLatin1Char('\\'))
                return false;
            *out++ = QLatin1Char('/');
        } else {
            out = putMapChar(c, out);
        }
        previous = c;
    }
    mapPath->truncate(int(out - mapPath->constData()));
    return previous != QLatin1Char('\\');
}

// The key exists, values or not, and so does every key above it. A key already in the map had its
// ancestors entered with it, so the walk upwards stops at the first one found: each key is entered once.
void enterKey(const QString &mapPath, QSettings::SettingsMap *map)
{
    QString marker = mapPath + QLatin1Char('/');
    for (int end = marker.size() - 1; end > 0; end = marker.lastIndexOf(QLatin1Char('/'), end - 1)) {
        marker.truncate(end + 1);
        // One search serves both the look-up and the insertion (deep keys make every comparison long).
        const auto at = map->lowerBound(marker);
        if (at != map->end() && at.key() == marker)
            return;
        map->insert(at, marker, QVariant());
    }
}

// Where the reader stands: the section it is in.
struct Section
{
    QString path;          // the key's path as the map spells it; empty before the first section
    bool skipping = false; // inside a "[-KEY]" deletion section, which describes nothing to keep
};

// A "[KEY]" or "[-KEY]" line (trimmed), which starts a section.
bool readSectionLine(const QStringRef &trimmed, Section *section, QSettings::SettingsMap *map)
{
    if (!trimmed.endsWith(QLatin1Char(']')))
        return false;
    QStringRef path = trimmed.mid(1, trimmed.size() - 2);
    section->skipping = path.startsWith(QLatin1Char('-'));
    if (section->skipping)
        path = path.mid(1);
    if (!keyPathInMap(path, &section->path))
        return false;
    if (!section->skipping)
        enterKey(section->path, map);
    return true;
}

// A value's line (trimmed), '@' or a quoted name, '=' and its data, which may run on over later lines.
bool readValueLine(const QStringRef &trimmed, LineReader &lines, const Section &section,
                   QSettings::SettingsMap *map)
{
    if (section.path.isEmpty())
        return false;
    int position = 0;
    bool isDefault = false;
    QString name;
    if (trimmed.startsWith(QLatin1Char('@'))) {
        isDefault = true;
        position = 1;
    } else if (!readQuoted(trimmed, position, &name) || name.isEmpty()) {
        return false;
    }
    if (position >= trimmed.size() || trimmed.at(position) != QLatin1Char('='))
        return false;
    QVariant value;
    const DataResult result = readValueData(trimmed.mid(position + 1).trimmed(), lines, &value);
    if (result == DataResult::Invalid)
        return false;
    if (result == DataResult::Value && !section.skipping)
        map->insert(section.path + QLatin1Char('/') +
                        (isDefault ? QStringLiteral(".") : valueNameInMap(name)),
                    value);
    return true;
}

} // namespace

namespace Platform {

bool parseRegistryExport(const QByteArray &bytes, QSettings::SettingsMap *map)
{
    if (bytes.isEmpty())
        return true; // a freshly created, still empty hive
    QString text;
    if (!decodeExportText(bytes, &text))
        return false;

    LineReader lines(text);
    QStringRef line;
    while (lines.next(&line) && line.trimmed().isEmpty()) {
    }
    if (line.trimmed() != QLatin1String(RegistryExportHeader) &&
        line.trimmed() != QLatin1String(LegacyRegistryExportHeader))
        return false;

    Section section;
    while (lines.next(&line)) {
        const QStringRef trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char(';')))
            continue;
        const bool read = trimmed.startsWith(QLatin1Char('[')) ? readSectionLine(trimmed, &section, map)
                                                               : readValueLine(trimmed, lines, section, map);
        if (!read)
            return false;
    }
    return true;
}

} // namespace Platform
