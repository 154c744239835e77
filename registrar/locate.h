// Finding the notes.ini to edit.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// The full path of the notes.ini found. Zero-filled at start; only LocateNotesIni writes it.
extern char NotesIniPath[PLATFORM_PATH_LIMIT];

// Builds the directory that holds the executable from its full path: the drive ("C:") when the
// path has one, then the directory up to and including its last separator, found with the lead-
// byte rule of CodePage so that a trail byte 0x5C or 0x2F is never taken for a separator.
// Answers 1 when it fits in Size bytes (the path is never cut), else 0.
int MakeStartDirectory(const char* ModulePath, unsigned int CodePage, char* StartDirectory,
                       size_t Size);

// Makes the executable's directory current and searches "notes.ini" with the platform's standard
// search order. Answers 1 when found, with its full path in NotesIniPath; 0 otherwise.
int LocateNotesIni();
