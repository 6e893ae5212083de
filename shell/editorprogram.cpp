#include "editorprogram.h"

#include <QCoreApplication>

QString editorProgramPath()
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(EditorFileName);
}
