#ifndef OSTREL_TESTS_EXPORTTEXT_H
#define OSTREL_TESTS_EXPORTTEXT_H

// The registry-export text as the tests write and read it, by hand and apart from the program's own
// reader and writer (registryexport.h), so that a test never checks that code against itself: the quoting
// of names and string data, the encodings an export comes in, and the keys and string values of an export.

#include <QByteArray>
#include <QMap>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTextCodec>

namespace ExportText {

// A name or string data inside the quotes of an export: backslashes and quotes escaped with a backslash.
inline QString escaped(QString text)
{
    return text.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""));
}

// The text between the quotes of a quoted name or string, escapes undone.
inline QString unescaped(const QString &quoted)
{
    QString text;
    for (int i = 1; i + 1 < quoted.size(); ++i) {
        if (quoted.at(i) == QLatin1Char('\\') && i + 2 < quoted.size())
            ++i;
        text.append(quoted.at(i));
    }
    return text;
}

// The UTF-16LE bytes of a text, without a terminating NUL: written out here rather than through a codec, so
// that the byte order is the one the tests state.
inline QByteArray utf16LittleEndian(const QString &text)
{
    QByteArray bytes;
    bytes.reserve(2 * text.size());
    for (const QChar c : text)
        bytes.append(char(c.unicode() & 0xff)).append(char(c.unicode() >> 8));
    return bytes;
}

// An export as Windows writes it: UTF-16LE with a byte-order mark, CR LF line ends.
inline QByteArray windowsEncoded(const QString &text)
{
    return QByteArray("\xff\xfe") +
           utf16LittleEndian(QString(text).replace(QLatin1Char('\n'), QLatin1String("\r\n")));
}

// The text of an export: UTF-16 with a byte-order mark, as "reg export" writes it, or UTF-8.
inline QString decoded(const QByteArray &bytes)
{
    return QTextCodec::codecForUtfText(bytes, QTextCodec::codecForName("UTF-8"))->toUnicode(bytes);
}

// A registry subtree as an export shows it: key path -> value name ("@" for the default) -> data.
using Hive = QMap<QString, QMap<QString, QString>>;

// The keys and values of an export's text. String data is unescaped; data of any other type is kept as
// written, so that a comparison with strings shows it.
inline Hive read(const QString &text)
{
    static const QRegularExpression valueLine(QStringLiteral("^(@|\"(?:[^\"\\\\]|\\\\.)*\")=(.*)$"));
    Hive hive;
    QString key;
    for (const QString &line : text.split(QRegularExpression(QStringLiteral("\r?\n")))) {
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            key = line.mid(1, line.size() - 2);
            hive[key];
            continue;
        }
        const QRegularExpressionMatch match = valueLine.match(line);
        if (key.isEmpty() || !match.hasMatch())
            continue;
        const QString name =
            match.captured(1) == QLatin1String("@") ? QStringLiteral("@") : unescaped(match.captured(1));
        const QString data = match.captured(2);
        hive[key][name] = data.startsWith(QLatin1Char('"')) ? unescaped(data) : data;
    }
    return hive;
}

// The keys and values of a hive whose every value is a string, as the sections of an export (without its
// header line), with CR LF line ends.
inline QString written(const Hive &hive)
{
    QString text;
    for (auto key = hive.cbegin(); key != hive.cend(); ++key) {
        text += QLatin1Char('[') + key.key() + QLatin1String("]\r\n");
        for (auto value = key->cbegin(); value != key->cend(); ++value) {
            text += (value.key() == QLatin1String("@")
                         ? QStringLiteral("@")
                         : QLatin1Char('"') + escaped(value.key()) + QLatin1Char('"')) +
                    QLatin1String("=\"") + escaped(value.value()) + QLatin1String("\"\r\n");
        }
        text += QLatin1String("\r\n");
    }
    return text;
}

// A hive for a test's message, one line per key and per value.
inline QString describe(const Hive &hive)
{
    QString text;
    for (auto key = hive.cbegin(); key != hive.cend(); ++key) {
        text += QLatin1Char('[') + key.key() + QLatin1String("]\n");
        for (auto value = key->cbegin(); value != key->cend(); ++value)
            text += QStringLiteral("  %1 = %2\n").arg(value.key(), value.value());
    }
    return text;
}

} // namespace ExportText

#endif
