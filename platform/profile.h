// The profile-file engine: Windows' rules for reading a key from bytes in memory
// (profile-read.cpp), edits that change only the target line and keep every other byte
// (profile-edit.cpp) and the section lookup for many keys (profile-section.cpp). The files on
// disk behind GetPrivateProfileStringA and WritePrivateProfileStringA are profile-file-posix.cpp.
#pragma once

#include <cstddef>
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

// Copies what a read of Section/Key gives into Buffer as GetPrivateProfileStringA does: Default
// when the key has no value, then a terminating zero. A result cut to Size - 1 bytes ends
// before a double-byte character that would not fit whole, and Size - 1 is returned; otherwise
// the count of bytes copied, without the terminator.
size_t ReadString(std::string_view Content, std::string_view Section, std::string_view Key,
                  const char* Default, char* Buffer, size_t Size);

// True when the content starts with a UTF-16 byte-order mark: such a file is refused for writing
// and reads see nothing in it.
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

// Sets Section/Key to Value, or deletes the key when Value is null, leaving every other byte of
// Content as it was. PlanEdit only says where the change goes, so that a caller can write the
// head, the change and the tail straight from the old content; Edit builds the new content.
// Lookup, when given, is a lookup of Section in this Content: it spares a scan of the section.
EditResult PlanEdit(std::string_view Content, std::string_view Section, std::string_view Key,
                    const char* Value, EditPlan& Plan, const SectionLookup* Lookup = nullptr);
EditResult Edit(std::string_view Content, std::string_view Section, std::string_view Key,
                const char* Value, std::string& Out);

// The read rules that the read, the edit and the section lookup share.

// One physical line: its bytes [Begin, End), then its line ending (CR LF, LF or a lone CR) up to
// Next. The last line may have no line ending, so that End == Next.
struct Line {
    size_t Begin;
    size_t End;
    size_t Next;
};

// An entry: the name before the first '=', the value after it, both trimmed and ending at a NUL.
// A line without '=' is an entry with no value.
struct Entry {
    std::string_view Name;
    std::string_view Value;
    bool HasValue;
};

// Where a section and a key stand: the first section of that name, and in it the first entry of
// that name.
struct Location {
    bool SectionFound = false;
    Line LastLineOfSection{};  // the last non-blank line of the section (its header at least)
    bool KeyFound = false;
    Line KeyLine{};
    Entry KeyEntry{};
};

// Walks the lines of the content from Position in one pass. The positions of the next CR and
// the next LF are remembered, so that each byte is searched once, by memchr, however the lines
// end. (A registration against the floor program, with this: 1.13-1.15 at 1 MB and 1.33-1.40 at
// 10 MB; with a loop over each line's bytes: 1.16-1.20 and 1.43-1.48.)
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
// What a read sees of a line: its bytes, trimmed. A NUL byte does not end the line: the '=' and
// the ']' after it still count, as under Windows' API (Wine's reading of it); it ends the name or
// the value that holds it, as a C string ends. A line that starts with a NUL and has no '=' is
// seen as blank.
std::string_view SeenPart(std::string_view Content, const Line& Current);
// A section header: a seen line that starts with '[' and has a ']' after it; Name runs to the
// last ']', is trimmed, and ends at a NUL.
bool ParseHeader(std::string_view Seen, std::string_view& Name);
Entry ParseEntry(std::string_view Seen);
// Names match without regard to the case of A-Z, which a double-byte character never holds.
bool SameName(std::string_view A, std::string_view B);
// A name's hash that agrees with SameName: names that match hash alike.
uint32_t HashName(std::string_view Name);
// The header of the first section of that name, if any.
std::optional<Line> FindSection(std::string_view Content, std::string_view Section);
// What a read gives for a located key, or nothing; copied into Buffer as ReadString does.
std::optional<std::string_view> ValueOf(const Location& Found);
size_t CopyResult(std::optional<std::string_view> Value, const char* Default, char* Buffer,
                  size_t Size);

// The lookups of keys in one section of a content that does not change meanwhile: the names of
// the section's lines are hashed once, then a lookup compares hashes, 4 bytes a line, and parses
// only the lines whose hash matches. FindValue and ReadString are one lookup each. It keeps a
// view of the content, which must outlive it unchanged.
class SectionLookup {
public:
    SectionLookup(std::string_view Content, std::string_view Section);
    Location Locate(std::string_view Key) const;
    std::optional<std::string_view> FindValue(std::string_view Key) const
    {
        return ValueOf(Locate(Key));
    }
    size_t ReadString(std::string_view Key, const char* Default, char* Buffer, size_t Size) const
    {
        return CopyResult(FindValue(Key), Default, Buffer, Size);
    }

private:
    std::string_view Content_;
    Location Section_;              // where the section stands, without a key
    std::vector<uint32_t> Hashes_;  // the hash of each line's name, in file order
    std::vector<size_t> Begins_;    // where each of those lines starts
};

}  // namespace profile
