// Interface language and captions, read through a real config.ini in a private configuration folder.

#include "captions.h"
#include "expectedcaptions.h"
#include "privatehome.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

QString configFile()
{
    return privateVendorFolder() + QStringLiteral("/Ostrel PDF Editor/config.ini");
}

QStringList allCaptions()
{
    return {editCaption(), splitCaption(), mergeCaption(), printCaption()};
}

// Names, sizes, times and contents of everything under the configuration folder.
QStringList folderState()
{
    QStringList state;
    QDirIterator it(qEnvironmentVariable("XDG_CONFIG_HOME"),
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        QFile file(info.filePath());
        const QByteArray content =
            info.isFile() && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        state << info.filePath() + QLatin1Char(' ') + QString::number(info.size()) + QLatin1Char(' ') +
                     info.lastModified().toString(Qt::ISODateWithMs) + QLatin1Char(' ') +
                     QString::fromLatin1(content.toHex());
    }
    state.sort();
    return state;
}

} // namespace

class CaptionsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void everyRow_data();
    void everyRow();
    void fallbackForOtherKeys_data();
    void fallbackForOtherKeys();
    void fallbackForBadFiles_data();
    void fallbackForBadFiles();
    void byteOrderMarkIsAccepted();
    void languageIsReadAfreshOnEveryCall();

private:
    void writeConfig(const QByteArray &content);
};

void CaptionsTest::writeConfig(const QByteArray &content)
{
    QVERIFY(QDir().mkpath(QFileInfo(configFile()).path()));
    QFile file(configFile());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
    QVERIFY(file.flush());
    // QSettings notices a changed file by its size and modification time; rewrites that follow each other
    // within one tick of the file system's clock would look unchanged, as they never do for a person.
    static QDateTime stamp = QDateTime::currentDateTimeUtc().addDays(-1);
    stamp = stamp.addSecs(1);
    QVERIFY(file.setFileTime(stamp, QFileDevice::FileModificationTime));
}

void CaptionsTest::init()
{
    QDir(privateVendorFolder()).removeRecursively();
}

void CaptionsTest::cleanup()
{
    QFile::setPermissions(configFile(), QFile::ReadOwner | QFile::WriteOwner);
}

void CaptionsTest::everyRow_data()
{
    QTest::addColumn<QByteArray>("language");
    QTest::addColumn<QStringList>("captions");
    QTest::newRow("ChineseSimplified")
        << QByteArray("ChineseSimplified") << ExpectedCaptions::chineseSimplified();
    QTest::newRow("Japanese") << QByteArray("Japanese")
                              << QStringList{QString::fromUtf8(u8"Ostrel PDF Editorエディターで編集する"),
                                             QString::fromUtf8(u8"Ostrel PDF Editorエディターで分割する"),
                                             QString::fromUtf8(u8"Ostrel PDF Editorエディターで結合する"),
                                             QString::fromUtf8(u8"Ostrel PDF Editorを使用して印刷")};
    QTest::newRow("English") << QByteArray("English")
                             << QStringList{QString::fromUtf8(u8"Use Ostrel PDF Editor Edit"),
                                            QString::fromUtf8(u8"Use Ostrel PDF Editor Split"),
                                            QString::fromUtf8(u8"Use Ostrel PDF Editor Combine"),
                                            QString::fromUtf8(u8"Use Ostrel PDF Editor Print")};
    QTest::newRow("Spanish") << QByteArray("Spanish")
                             << QStringList{QString::fromUtf8(u8"Usar Ostrel PDF Editor para editar"),
                                            QString::fromUtf8(u8"Usar Ostrel PDF Editor para dividir"),
                                            QString::fromUtf8(u8"Usar Ostrel PDF Editor para combinar"),
                                            QString::fromUtf8(u8"Utilice Ostrel PDF Editor Imprimir")};
    QTest::newRow("French") << QByteArray("French")
                            << QStringList{QString::fromUtf8(u8"Utiliser Ostrel PDF Editor pour modifier"),
                                           QString::fromUtf8(u8"Utiliser Ostrel PDF Editor pour diviser"),
                                           QString::fromUtf8(u8"Utiliser Ostrel PDF Editor pour combiner"),
                                           QString::fromUtf8(u8"Utiliser l'impression Ostrel PDF Editor")};
    QTest::newRow("German") << QByteArray("German") << ExpectedCaptions::german();
    QTest::newRow("Portuguese") << QByteArray("Portuguese")
                                << QStringList{QString::fromUtf8(u8"Use Ostrel PDF Editor para editar"),
                                               QString::fromUtf8(u8"Use Ostrel PDF Editor para dividir"),
                                               QString::fromUtf8(u8"Use Ostrel PDF Editor para combinar"),
                                               QString::fromUtf8(u8"Usar Impressão Ostrel PDF Editor")};
    QTest::newRow("PortugueseBrazi") << QByteArray("PortugueseBrazi")
                                     << QStringList{
                                            QString::fromUtf8(u8"Use Ostrel PDF Editor para editar"),
                                            QString::fromUtf8(u8"Use Ostrel PDF Editor para dividir"),
                                            QString::fromUtf8(u8"Use Ostrel PDF Editor para combinar"),
                                            QString::fromUtf8(u8"Usar Impressão Ostrel PDF Editor")};
    QTest::newRow("ChineseTraditional") << QByteArray("ChineseTraditional")
                                        << QStringList{QString::fromUtf8(u8"使用Ostrel PDF Editor編輯"),
                                                       QString::fromUtf8(u8"使用Ostrel PDF Editor拆分"),
                                                       QString::fromUtf8(u8"使用Ostrel PDF Editor合併"),
                                                       QString::fromUtf8(u8"使用Ostrel PDF Editor列印")};
    QTest::newRow("Italian") << QByteArray("Italian")
                             << QStringList{QString::fromUtf8(u8"Usa Ostrel PDF Editor Modifica"),
                                            QString::fromUtf8(u8"Usa Ostrel PDF Editor Dividi"),
                                            QString::fromUtf8(u8"Usa Ostrel PDF Editor Combina"),
                                            QString::fromUtf8(u8"Utilizza la stampa Ostrel PDF Editor")};
    QTest::newRow("Czech") << QByteArray("Czech")
                           << QStringList{QString::fromUtf8(u8"Použít Ostrel PDF Editor Upravit"),
                                          QString::fromUtf8(u8"Použít Ostrel PDF Editor Rozdělit"),
                                          QString::fromUtf8(u8"Použít Ostrel PDF Editor Sloučit"),
                                          QString::fromUtf8(u8"Použijte Ostrel PDF Editor Print")};
    QTest::newRow("Finnish") << QByteArray("Finnish")
                             << QStringList{
                                    QString::fromUtf8(u8"Käytä Ostrel PDF Editor in muokkaustoimintoa"),
                                    QString::fromUtf8(u8"Käytä Ostrel PDF Editor in jakamistoimintoa"),
                                    QString::fromUtf8(u8"Käytä Ostrel PDF Editor in yhdistämistoimintoa"),
                                    QString::fromUtf8(u8"Use Ostrel PDF Editor Print")};
    QTest::newRow("Dutch") << QByteArray("Dutch")
                           << QStringList{QString::fromUtf8(u8"Gebruik Ostrel PDF Editor Bewerken"),
                                          QString::fromUtf8(u8"Gebruik Ostrel PDF Editor Splitsen"),
                                          QString::fromUtf8(u8"Gebruik Ostrel PDF Editor Combineren"),
                                          QString::fromUtf8(u8"Gebruik Ostrel PDF Editor Print")};
    QTest::newRow("Norwegian") << QByteArray("Norwegian")
                               << QStringList{QString::fromUtf8(u8"Bruk Ostrel PDF Editor redigering"),
                                              QString::fromUtf8(u8"Bruk Ostrel PDF Editor deling"),
                                              QString::fromUtf8(u8"Bruk Ostrel PDF Editor kombinering"),
                                              QString::fromUtf8(u8"Use Ostrel PDF Editor Print")};
    QTest::newRow("Polish") << QByteArray("Polish")
                            << QStringList{QString::fromUtf8(u8"Użyj Ostrel PDF Editor Edytuj"),
                                           QString::fromUtf8(u8"Użyj Ostrel PDF Editor FPodziel"),
                                           QString::fromUtf8(u8"Użyj Ostrel PDF Editor FPołącz"),
                                           QString::fromUtf8(u8"Use Ostrel PDF Editor Print")};
    QTest::newRow("Swedish") << QByteArray("Swedish")
                             << QStringList{QString::fromUtf8(u8"Använd Ostrel PDF Editor Redigering"),
                                            QString::fromUtf8(u8"Använd Ostrel PDF Editor Delning"),
                                            QString::fromUtf8(u8"Använd Ostrel PDF Editor Kombinering"),
                                            QString::fromUtf8(u8"Use Ostrel PDF Editor Print")};
    QTest::newRow("Turkish") << QByteArray("Turkish")
                             << QStringList{QString::fromUtf8(u8"Ostrel PDF Editor Düzenleme Kullanın"),
                                            QString::fromUtf8(u8"Ostrel PDF Editor Split kullanın"),
                                            QString::fromUtf8(u8"Ostrel PDF Editor Birleştirme Kullanın"),
                                            QString::fromUtf8(u8"Use Ostrel PDF Editor Print")};
    QTest::newRow("Danish") << QByteArray("Danish")
                            << QStringList{QString::fromUtf8(u8"Brug Ostrel PDF Editor Rediger"),
                                           QString::fromUtf8(u8"Brug Ostrel PDF Editor Opdel"),
                                           QString::fromUtf8(u8"Brug Ostrel PDF Editor Kombiner"),
                                           QString::fromUtf8(u8"Use Ostrel PDF Editor Print")};
    QTest::newRow("Korean") << QByteArray("Korean")
                            << QStringList{QString::fromUtf8(u8"Ostrel PDF Editor 편집기 편집 사용"),
                                           QString::fromUtf8(u8"Ostrel PDF Editor 편집기 분할 사용"),
                                           QString::fromUtf8(u8"Ostrel PDF Editor 편집기 조합 사용"),
                                           QString::fromUtf8(u8"Use Ostrel PDF Editor Print")};
    QTest::newRow("Arabic") << QByteArray("Arabic")
                            << QStringList{QString::fromUtf8(u8"استخدم تعديل أداة Ostrel PDF Editor"),
                                           QString::fromUtf8(u8"استخدم فصل أداة Ostrel PDF Editor"),
                                           QString::fromUtf8(u8"استخدم دمج أداة Ostrel PDF Editor"),
                                           QString::fromUtf8(u8"Use Ostrel PDF Editor Print")};
}

void CaptionsTest::everyRow()
{
    QFETCH(QByteArray, language);
    QFETCH(QStringList, captions);
    writeConfig("[Other]\nLanguage=Spanish\n\n[Main]\nLanguage=" + language + "\nTheme=dark\n");
    QCOMPARE(interfaceLanguage(), QString::fromLatin1(language));
    QCOMPARE(allCaptions(), captions);
}

void CaptionsTest::fallbackForOtherKeys_data()
{
    QTest::addColumn<QByteArray>("language");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("lower case") << QByteArray("english");
    QTest::newRow("upper case") << QByteArray("GERMAN");
    QTest::newRow("Brazil with final l") << QByteArray("PortugueseBrazil");
    QTest::newRow("prefix of a key") << QByteArray("Chinese");
    QTest::newRow("code instead of name") << QByteArray("de_DE");
    QTest::newRow("list value") << QByteArray("German, French");
}

void CaptionsTest::fallbackForOtherKeys()
{
    QFETCH(QByteArray, language);
    writeConfig("[Main]\nLanguage=" + language + "\n");
    QCOMPARE(allCaptions(), ExpectedCaptions::fallback());
}

void CaptionsTest::fallbackForBadFiles_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file at all
    QTest::addColumn<bool>("unreadable");
    QTest::addColumn<bool>("directory");
    QTest::newRow("missing") << QByteArray() << false << false;
    QTest::newRow("empty file") << QByteArray("") << false << false;
    QTest::newRow("other group") << QByteArray("[General]\nLanguage=German\n") << false << false;
    QTest::newRow("no group") << QByteArray("Language=German\n") << false << false;
    QTest::newRow("group in other case") << QByteArray("[main]\nLanguage=German\n") << false << false;
    QTest::newRow("key in other case") << QByteArray("[Main]\nlanguage=German\n") << false << false;
    QTest::newRow("not UTF-8") << QByteArray("[Main]\nLanguage=Fran\xe7"
                                             "ais\n")
                               << false << false;
    static const char garbage[] =
        "\x00\xff\xfe[M\x00\x01\x80\x81]\r\x00Language\x00=\xc3\x28German\x00\n\xf5\xf6";
    QTest::newRow("binary garbage") << QByteArray(garbage, sizeof garbage - 1) << false << false;
    QTest::newRow("unreadable") << QByteArray("[Main]\nLanguage=German\n") << true << false;
    QTest::newRow("directory in its place") << QByteArray() << false << true;
}

void CaptionsTest::fallbackForBadFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, unreadable);
    QFETCH(bool, directory);
    if (unreadable && geteuid() == 0)
        QSKIP("the superuser reads every file");
    if (!content.isNull())
        writeConfig(content);
    if (unreadable)
        QVERIFY(QFile::setPermissions(configFile(), QFileDevice::WriteOwner));
    if (directory)
        QVERIFY(QDir().mkpath(configFile()));

    const QStringList before = folderState();
    QCOMPARE(allCaptions(), ExpectedCaptions::fallback());
    // The file is the editor's: reading it must neither create, rewrite nor lock it.
    QCOMPARE(folderState(), before);
}

void CaptionsTest::byteOrderMarkIsAccepted()
{
    writeConfig("\xef\xbb\xbf[Main]\r\nLanguage=Danish\r\n");
    QCOMPARE(interfaceLanguage(), QStringLiteral("Danish"));
    QCOMPARE(editCaption(), QStringLiteral("Brug Ostrel PDF Editor Rediger"));
}

void CaptionsTest::languageIsReadAfreshOnEveryCall()
{
    writeConfig("[Main]\nLanguage=German\n");
    QCOMPARE(editCaption(), QStringLiteral("Zum Bearbeiten den Ostrel PDF Editor verwenden"));
    // Same size as before, so only a fresh read can notice the change.
    writeConfig("[Main]\nLanguage=Polish\n");
    QCOMPARE(splitCaption(), QString::fromUtf8(u8"Użyj Ostrel PDF Editor FPodziel"));
    QFile::remove(configFile());
    QCOMPARE(mergeCaption(), QStringLiteral("Combine with Ostrel PDF Editor"));
    writeConfig("[Main]\nLanguage=Korean\n");
    QCOMPARE(printCaption(), QStringLiteral("Use Ostrel PDF Editor Print"));
    QCOMPARE(mergeCaption(), QString::fromUtf8(u8"Ostrel PDF Editor 편집기 조합 사용"));
}

int main(int argc, char **argv)
{
    return execWithPrivateHome<CaptionsTest>(argc, argv);
}

#include "tst_captions.moc"
