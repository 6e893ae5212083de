#ifndef OSTREL_SHELL_EDITORPROGRAM_H
#define OSTREL_SHELL_EDITORPROGRAM_H

#include <QString>

// The editor's executable, expected beside this program. Its file name is also the editor's program
// identifier in the registry.
constexpr char EditorFileName[] = "Ostrel PDF Editor.exe";

// The editor's full path, with forward slashes, as QCoreApplication::applicationDirPath gives it.
QString editorProgramPath();

#endif
