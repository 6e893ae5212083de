#ifndef OSTREL_TESTS_EXPECTEDCAPTIONS_H
#define OSTREL_TESTS_EXPECTEDCAPTIONS_H

#include <QString>
#include <QStringList>

// Captions the tests expect, written out independently of the program's own table: Edit, Split, Merge,
// Print, in that order. tst_captions checks every language row by row; these are the rows that the
// registration tests write out as well.
namespace ExpectedCaptions {

// When the configuration names no language, or one the table does not know.
inline QStringList fallback()
{
    return {QStringLiteral("Edit with Ostrel PDF Editor"), QStringLiteral("Split with Ostrel PDF Editor"),
            QStringLiteral("Combine with Ostrel PDF Editor"), QStringLiteral("Use Ostrel PDF Editor Print")};
}

// "German", the language the registration tests write most often.
inline QStringList german()
{
    return {QStringLiteral("Zum Bearbeiten den Ostrel PDF Editor verwenden"),
            QStringLiteral("Zum Aufteilen den Ostrel PDF Editor verwenden"),
            QStringLiteral("Zum Kombinieren den Ostrel PDF Editor verwenden"),
            QStringLiteral("Ostrel PDF Editor-Druck verwenden")};
}

// "ChineseSimplified": text outside Latin-1, which has to come through the registry as it is.
inline QStringList chineseSimplified()
{
    return {QString::fromUtf8(u8"使用欧特PDF编辑器编辑"), QString::fromUtf8(u8"使用欧特PDF编辑器拆分"),
            QString::fromUtf8(u8"使用欧特PDF编辑器合并"), QString::fromUtf8(u8"使用欧特PDF编辑器打印")};
}

} // namespace ExpectedCaptions

#endif
