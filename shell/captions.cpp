#include "captions.h"

#include "platform.h"
#include "registrylog.h"

#include <QCoreApplication>
#include <QSettings>
#include <QVariant>

#include <array>
#include <cstddef>

namespace {

enum CaptionColumn : std::size_t { EditColumn, SplitColumn, MergeColumn, PrintColumn, ColumnCount };

struct CaptionRow
{
    const char *language; // nullptr marks the fallback row, which closes the table
    std::array<const char *, ColumnCount> captions;
};

// Every caption stands exactly as the editor's translators wrote it, irregular rows included (the Polish
// capital F, "PortugueseBrazi", the English Print captions); the Arabic text is in storage order.
const CaptionRow CaptionTable[] = {
    {u8"ChineseSimplified",
     {u8"使用欧特PDF编辑器编辑", u8"使用欧特PDF编辑器拆分", u8"使用欧特PDF编辑器合并",
      u8"使用欧特PDF编辑器打印"}},
    {u8"Japanese",
     {u8"Ostrel PDF Editorエディターで編集する", u8"Ostrel PDF Editorエディターで分割する",
      u8"Ostrel PDF Editorエディターで結合する", u8"Ostrel PDF Editorを使用して印刷"}},
    {u8"English",
     {u8"Use Ostrel PDF Editor Edit", u8"Use Ostrel PDF Editor Split", u8"Use Ostrel PDF Editor Combine",
      u8"Use Ostrel PDF Editor Print"}},
    {u8"Spanish",
     {u8"Usar Ostrel PDF Editor para editar", u8"Usar Ostrel PDF Editor para dividir",
      u8"Usar Ostrel PDF Editor para combinar", u8"Utilice Ostrel PDF Editor Imprimir"}},
    {u8"French",
     {u8"Utiliser Ostrel PDF Editor pour modifier", u8"Utiliser Ostrel PDF Editor pour diviser",
      u8"Utiliser Ostrel PDF Editor pour combiner", u8"Utiliser l'impression Ostrel PDF Editor"}},
    {u8"German",
     {u8"Zum Bearbeiten den Ostrel PDF Editor verwenden", u8"Zum Aufteilen den Ostrel PDF Editor verwenden",
      u8"Zum Kombinieren den Ostrel PDF Editor verwenden", u8"Ostrel PDF Editor-Druck verwenden"}},
    {u8"Portuguese",
     {u8"Use Ostrel PDF Editor para editar", u8"Use Ostrel PDF Editor para dividir",
      u8"Use Ostrel PDF Editor para combinar", u8"Usar Impressão Ostrel PDF Editor"}},
    {u8"PortugueseBrazi",
     {u8"Use Ostrel PDF Editor para editar", u8"Use Ostrel PDF Editor para dividir",
      u8"Use Ostrel PDF Editor para combinar", u8"Usar Impressão Ostrel PDF Editor"}},
    {u8"ChineseTraditional",
     {u8"使用Ostrel PDF Editor編輯", u8"使用Ostrel PDF Editor拆分", u8"使用Ostrel PDF Editor合併",
      u8"使用Ostrel PDF Editor列印"}},
    {u8"Italian",
     {u8"Usa Ostrel PDF Editor Modifica", u8"Usa Ostrel PDF Editor Dividi", u8"Usa Ostrel PDF Editor Combina",
      u8"Utilizza la stampa Ostrel PDF Editor"}},
    {u8"Czech",
     {u8"Použít Ostrel PDF Editor Upravit", u8"Použít Ostrel PDF Editor Rozdělit",
      u8"Použít Ostrel PDF Editor Sloučit", u8"Použijte Ostrel PDF Editor Print"}},
    {u8"Finnish",
     {u8"Käytä Ostrel PDF Editor in muokkaustoimintoa", u8"Käytä Ostrel PDF Editor in jakamistoimintoa",
      u8"Käytä Ostrel PDF Editor in yhdistämistoimintoa", u8"Use Ostrel PDF Editor Print"}},
    {u8"Dutch",
     {u8"Gebruik Ostrel PDF Editor Bewerken", u8"Gebruik Ostrel PDF Editor Splitsen",
      u8"Gebruik Ostrel PDF Editor Combineren", u8"Gebruik Ostrel PDF Editor Print"}},
    {u8"Norwegian",
     {u8"Bruk Ostrel PDF Editor redigering", u8"Bruk Ostrel PDF Editor deling",
      u8"Bruk Ostrel PDF Editor kombinering", u8"Use Ostrel PDF Editor Print"}},
    {u8"Polish",
     {u8"Użyj Ostrel PDF Editor Edytuj", u8"Użyj Ostrel PDF Editor FPodziel",
      u8"Użyj Ostrel PDF Editor FPołącz", u8"Use Ostrel PDF Editor Print"}},
    {u8"Swedish",
     {u8"Använd Ostrel PDF Editor Redigering", u8"Använd Ostrel PDF Editor Delning",
      u8"Använd Ostrel PDF Editor Kombinering", u8"Use Ostrel PDF Editor Print"}},
    {u8"Turkish",
     {u8"Ostrel PDF Editor Düzenleme Kullanın", u8"Ostrel PDF Editor Split kullanın",
      u8"Ostrel PDF Editor Birleştirme Kullanın", u8"Use Ostrel PDF Editor Print"}},
    {u8"Danish",
     {u8"Brug Ostrel PDF Editor Rediger", u8"Brug Ostrel PDF Editor Opdel",
      u8"Brug Ostrel PDF Editor Kombiner", u8"Use Ostrel PDF Editor Print"}},
    {u8"Korean",
     {u8"Ostrel PDF Editor 편집기 편집 사용", u8"Ostrel PDF Editor 편집기 분할 사용",
      u8"Ostrel PDF Editor 편집기 조합 사용", u8"Use Ostrel PDF Editor Print"}},
    {u8"Arabic",
     {u8"استخدم تعديل أداة Ostrel PDF Editor", u8"استخدم فصل أداة Ostrel PDF Editor",
      u8"استخدم دمج أداة Ostrel PDF Editor", u8"Use Ostrel PDF Editor Print"}},
    {nullptr,
     {u8"Edit with Ostrel PDF Editor", u8"Split with Ostrel PDF Editor", u8"Combine with Ostrel PDF Editor",
      u8"Use Ostrel PDF Editor Print"}},
};

QString caption(CaptionColumn column)
{
    const QString language = interfaceLanguage();
    const CaptionRow *row = CaptionTable;
    // Exact, case-sensitive comparison in table order; the fallback row ends the search.
    while (row->language && language != QLatin1String(row->language))
        ++row;
    qCDebug(lcRegistry, "pid %lld: caption \"%s\": language \"%s\" in %s, %s",
            QCoreApplication::applicationPid(), row->captions[column], qUtf8Printable(language),
            qUtf8Printable(Platform::editorConfigPath()),
            row->language ? "its own row" : "no row of its own, the fallback");
    return QString::fromUtf8(row->captions[column]);
}

} // namespace

QString interfaceLanguage()
{
    // Only ever read: QSettings writes back on destruction solely when a value was set or removed.
    QSettings settings(Platform::editorConfigPath(), QSettings::IniFormat);
    settings.setIniCodec("utf-8");
    settings.beginGroup(QStringLiteral("Main"));
    const QString language = settings.value(QStringLiteral("Language"), QString()).toString();
    settings.endGroup();
    return language;
}

QString editCaption()
{
    return caption(EditColumn);
}

QString splitCaption()
{
    return caption(SplitColumn);
}

QString mergeCaption()
{
    return caption(MergeColumn);
}

QString printCaption()
{
    return caption(PrintColumn);
}
