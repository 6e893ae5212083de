#ifndef OSTREL_SHELL_EDITORPROGRAM_H
#define OSTREL_SHELL_EDITORPROGRAM_H

#include "verbkeys.h"

#include <QString>

// The editor's executable (EditorFileName), expected beside this program: its full path, with forward
// slashes, as QCoreApplication::applicationDirPath gives it.
QString editorProgramPath();

#endif
