// The read rules of profile files, shared by the engine's own files (the read, the section lookup,
// the edit, the check) and by the native profile calls over them. A read sees the file as
// Windows' API does:
//   - bytes of the ANSI code page; a UTF-8 byte-order mark is skipped, a UTF-16 file holds nothing;
//   - lines end at CR, LF or any run of them; blanks (0x09-0x0D, 0x1A, 0x20) are trimmed from both
//     ends of a line, a name and a value, and an empty line is passed over;
//   - a header is a line that starts with '[' and has a ']'; the name runs to the last ']';
//   - any other line is an entry: name before the first '=', value after it; no '=', no value;
//   - a NUL ends the name or value that holds it; a line that starts with one and has no '=' is
//     blank;
//   - names match without regard to the case of A-Z; under code page 932 a lead byte and the byte
//     after it are one character, never a letter, '[', ']' or '=';
//   - the section and key asked for are trimmed like names; the first section of that name and,
//     in it, the first entry of that name win;
//   - one pair of matching quotes ('"' or '\'') around a value of two bytes or more is removed.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "profile/profile.h"

namespace profile {

// One line: its bytes [Begin, End), then its line ending (CR LF, LF or a lone CR) up to Next.
struct Line {
    size_t Begin;
    size_t End;
    size_t Next;
};

// An entry: the name before the first '=' and the value after it, trimmed and ending at a NUL.
// A line without '=' is an entry with no value.
struct Entry {
    std::string_view Name;
    std::string_view Value;
    bool HasValue;
};

// The first section of a name, and in it the first entry of a name.
struct Location {
    bool SectionFound = false;
    Line LastLineOfSection{};  // the last non-blank line of the section (its header at least)
    bool KeyFound = false;
    Line KeyLine{};
    Entry KeyEntry{};
};

// Walks the lines from Position. The next CR and the next LF are remembered, so that memchr
// looks at each byte once, however the lines end.
struct LineScanner {
    std::string_view Content;
    size_t Position;
    size_t NextCr = SIZE_MAX;  // SIZE_MAX: not searched yet
    size_t NextLf = SIZE_MAX;
    bool AtEnd() const { return Position >= Content.size(); }
    Line Next();
};

std::string_view Trim(std::string_view Text);
// Where the lines start: after a UTF-8 byte-order mark, or at 0.
size_t ContentStart(std::string_view Content);
// A line as a read sees it: trimmed; blank when it starts with a NUL and has no '='. Any other
// NUL ends the name or the value that holds it, but the '=' and the ']' after it still count,
// as under Windows' API (Wine's reading of it).
std::string_view SeenPart(std::string_view Content, const Line& Current);
// The functions below read their text in CodePage (profile.h says how).
// A header: a seen line that starts with '[' and has a ']' after it. Name runs to the last ']',
// trimmed and ending at a NUL.
bool ParseHeader(std::string_view Seen, std::string_view& Name, unsigned CodePage);
Entry ParseEntry(std::string_view Seen, unsigned CodePage);
// Names match without regard to the case of A-Z, which a double-byte character never holds.
bool SameName(std::string_view A, std::string_view B, unsigned CodePage);
// Names that match hash alike.
uint32_t HashName(std::string_view Name);
// The header of the first section of that name, at or after From (the start of a line; 0: the
// start of the content).
std::optional<Line> FindSection(std::string_view Content, std::string_view Section,
                                unsigned CodePage, size_t From = 0);
// What a read gives for a located key.
std::optional<std::string_view> ValueOf(const Location& Found);

// Lookups of keys in one section of a content that stays as it is and outlives the lookup. The
// names of the section's lines are hashed once; a lookup compares hashes, 4 bytes a line, and
// parses only the lines whose hash matches.
class SectionLookup {
public:
    // The first section of that name at or after From, the start of a line.
    SectionLookup(std::string_view Content, std::string_view Section, unsigned CodePage,
                  size_t From = 0);
    Location Locate(std::string_view Key) const;
    std::optional<std::string_view> FindValue(std::string_view Key) const
    {
        return ValueOf(Locate(Key));
    }

private:
    std::string_view Content_;
    unsigned CodePage_;
    Location Section_;              // where the section stands, without a key
    std::vector<uint32_t> Hashes_;  // the hash of each line's name, in file order
    std::vector<size_t> Begins_;    // where each of those lines starts
};

}  // namespace profile
