// The profile-file engine on bytes in memory: Windows' read rules (profile-read.cpp), the lookup
// of keys in a section (profile-section.cpp), and edits that change the target line and keep
// every other byte (profile-edit.cpp). profile-file-posix.cpp puts it behind the Win32 calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace profile {

// Code page 932's lead bytes: 0x81-0x9F and 0xE0-0xFC.
bool IsCodePage932Lead(unsigned char Byte);
// True while text is read as code page 932: a lead byte and the byte after it (0x40-0xFC) are
// one character, whose second byte is never a letter to fold, a '[', a ']' or a '='. False, as
// at the start, reads one byte as one character.
extern bool ReadAsCodePage932;

// What a read sees of a key's value: trimmed, cut at a NUL byte, one pair of matching quotes
// removed. No value when the section or key is missing, or when the key's line has no '='.
std::optional<std::string_view> FindValue(std::string_view Content, std::string_view Section,
                                          std::string_view Key);

// Copies Value, or Default when there is none, into Buffer as GetPrivateProfileStringA does,
// with a terminating zero. A copy cut to Size - 1 bytes ends before a double-byte character
// that would not fit whole, and answers Size - 1; otherwise the count of bytes copied.
size_t CopyResult(std::optional<std::string_view> Value, const char* Default, char* Buffer,
                  size_t Size);
// CopyResult of FindValue.
size_t ReadString(std::string_view Content, std::string_view Section, std::string_view Key,
                  const char* Default, char* Buffer, size_t Size);

// A file that starts with a UTF-16 byte-order mark: reads see nothing in it, writes refuse it.
bool IsUtf16(std::string_view Content);

enum class EditResult {
    Changed,    // the new content differs from the old
    Unchanged,  // the file already says this: nothing to write
    Refused,    // the name or value cannot be written without damaging the file
};

// The one change that an edit makes: the Remove bytes at Offset give way to Insert.
struct EditPlan {
    size_t Offset = 0;
    size_t Remove = 0;
    std::string Insert;
};

class SectionLookup;

// Sets Section/Key to Value, or deletes the key when Value is null, and keeps every other byte.
// PlanEdit says where the change goes, so that a caller writes the head, the change and the tail
// straight from the old content; Lookup, when given, is Section's lookup in this Content. Edit
// builds the new content.
EditResult PlanEdit(std::string_view Content, std::string_view Section, std::string_view Key,
                    const char* Value, EditPlan& Plan, const SectionLookup* Lookup = nullptr);
EditResult Edit(std::string_view Content, std::string_view Section, std::string_view Key,
                const char* Value, std::string& Out);

// The read rules that the read, the lookup and the edit share.

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
// looks at each byte once, however the lines end. (A registration against the floor program,
// with this: 1.13-1.15 at 1 MB and 1.33-1.40 at 10 MB; a loop over each line's bytes: 1.16-1.20
// and 1.43-1.48.)
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
// A header: a seen line that starts with '[' and has a ']' after it. Name runs to the last ']',
// trimmed and ending at a NUL.
bool ParseHeader(std::string_view Seen, std::string_view& Name);
Entry ParseEntry(std::string_view Seen);
// Names match without regard to the case of A-Z, which a double-byte character never holds.
bool SameName(std::string_view A, std::string_view B);
// Names that match hash alike.
uint32_t HashName(std::string_view Name);
// The header of the first section of that name.
std::optional<Line> FindSection(std::string_view Content, std::string_view Section);
// What a read gives for a located key.
std::optional<std::string_view> ValueOf(const Location& Found);

// Lookups of keys in one section of a content that stays as it is and outlives the lookup. The
// names of the section's lines are hashed once; a lookup compares hashes, 4 bytes a line, and
// parses only the lines whose hash matches.
class SectionLookup {
public:
    SectionLookup(std::string_view Content, std::string_view Section);
    Location Locate(std::string_view Key) const;
    std::optional<std::string_view> FindValue(std::string_view Key) const
    {
        return ValueOf(Locate(Key));
    }

private:
    std::string_view Content_;
    Location Section_;              // where the section stands, without a key
    std::vector<uint32_t> Hashes_;  // the hash of each line's name, in file order
    std::vector<size_t> Begins_;    // where each of those lines starts
};

}  // namespace profile
