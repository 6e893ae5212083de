#ifndef OSTREL_SHELL_CAPTIONS_H
#define OSTREL_SHELL_CAPTIONS_H

#include <QString>

// The interface language the user chose in the editor: group "Main", key "Language" of the editor's
// config.ini, exactly as stored; empty when the file, the group or the key is missing. Read afresh on
// every call, never written.
QString interfaceLanguage();

// Captions of the four context-menu verbs in the interface language (an English fallback for any
// language without its own row). Each call reads the language anew.
QString editCaption();
QString splitCaption();
QString mergeCaption();
QString printCaption();

#endif
