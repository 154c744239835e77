// Profile files on disk: reading them whole, and replacing them without ever leaving a damaged
// or partly written file. The parsing and editing happen on bytes in memory (profile.h); this is
// the thin layer around it that opens, locks, reads and writes.
#pragma once

#include <string>

namespace profile {

// Reads Section/Key of the file at Path as GetPrivateProfileStringA does. A file that cannot be
// read (missing, not a regular file, refused) reads as empty, so Default is given.
size_t ReadFileString(const char* Path, const char* Section, const char* Key, const char* Default,
                      char* Buffer, size_t Size);

// Sets Section/Key of the file at Path to Value, or deletes the key when Value is null, as
// WritePrivateProfileStringA does, changing no other byte. Returns false, with the file as it
// was, when the change could not be written; deleting what is not there succeeds.
bool WriteFileString(const char* Path, const char* Section, const char* Key, const char* Value);

// The prefix and suffix of the temporary files that a replacement writes beside the file:
// "." + file name + kTempMarker + process id + "-" + counter + ".tmp".
extern const char kTempMarker[];

}  // namespace profile
