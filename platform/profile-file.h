// Profile files on disk: GetPrivateProfileStringA and WritePrivateProfileStringA over the engine
// on bytes (profile.h), with one read of a file per run and crash-safe writes (replace-file.h).
#pragma once

#include <cstddef>

namespace profile {

// Reads Section/Key of the file at Path as GetPrivateProfileStringA does. A file that cannot be
// read (missing, not a regular file, refused) reads as empty, so Default is given.
size_t ReadFileString(const char* Path, const char* Section, const char* Key, const char* Default,
                      char* Buffer, size_t Size);

// Sets Section/Key of the file at Path to Value, or deletes the key when Value is null, as
// WritePrivateProfileStringA does, changing no other byte. Returns false, with the file as it
// was, when the change could not be written; deleting what is not there succeeds.
bool WriteFileString(const char* Path, const char* Section, const char* Key, const char* Value);

}  // namespace profile
