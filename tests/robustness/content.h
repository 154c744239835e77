// Generated notes.ini contents for the robustness tests.
#pragma once

#include <cstddef>
#include <string>

namespace robust {

// A notes.ini of about Size bytes (exactly Size when Exact): many filler sections first, then the
// "Notes" section last, holding VIEWEXP1 to VIEWEXP4 only. Registration appends one line to it,
// so the expected result is this content followed by RegisteredLine().
std::string NotesIniOfSize(size_t Size, bool Exact = false);
// The line that registration adds into an empty VIEWEXP5 with CR LF line ends.
std::string RegisteredLine();

}  // namespace robust
