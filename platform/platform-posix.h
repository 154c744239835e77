// Native helpers behind the Win32 stand-ins of platform-posix.cpp, open to its tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Converts code page 932 text to the encoding named by Codeset (UTF-8 when Codeset is ASCII or
// empty). A byte that does not convert is passed on as it is.
std::string ConvertFromCodePage932(std::string_view Text, const char* Codeset);

// Looks for FileName in each directory in turn: the exact name first, then a name that differs
// from it only in the case of ASCII letters. Answers the full path of the first hit, or "".
std::string FindInDirectories(const std::vector<std::string>& Directories,
                              const std::string& FileName);
