// The profile-file engine on bytes in memory: Windows' rules for reading a key, and edits that
// change only the target line and keep every other byte of the file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace profile {

// Which bytes begin a double-byte character (Lead) and which may end one (Trail). A byte that
// ends one is never a letter to fold, a '[', a ']' or a '='.
struct ByteRule {
    std::array<bool, 256> Lead{};
    std::array<bool, 256> Trail{};
};

// Code page 932: lead bytes 0x81-0x9F and 0xE0-0xFC, second bytes 0x40-0xFC.
const ByteRule& CodePage932();
// The rule that reads and edits follow; until set, every byte is a character of its own.
const ByteRule& CurrentByteRule();
void SetByteRule(const ByteRule& Rule);

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
struct Location;

// Sets Section/Key to Value, or deletes the key when Value is null, leaving every other byte of
// Content as it was. PlanEdit only says where the change goes, so that a caller can write the
// head, the change and the tail straight from the old content; Edit builds the new content.
// Lookup, when given, is a lookup of Section in this Content: it spares a scan of the section.
EditResult PlanEdit(std::string_view Content, std::string_view Section, std::string_view Key,
                    const char* Value, EditPlan& Plan, const SectionLookup* Lookup = nullptr);
EditResult Edit(std::string_view Content, std::string_view Section, std::string_view Key,
                const char* Value, std::string& Out);

// Many lookups in one section of a content that does not change meanwhile: the names of the
// section's lines are hashed once, then a lookup compares hashes, 4 bytes a line, and parses only
// the lines whose hash matches. Answers exactly as FindValue and ReadString do. It keeps a view
// of the content, which must outlive it unchanged.
class SectionLookup {
public:
    SectionLookup(std::string_view Content, std::string_view Section);
    Location Locate(std::string_view Key) const;
    std::optional<std::string_view> FindValue(std::string_view Key) const;
    size_t ReadString(std::string_view Key, const char* Default, char* Buffer, size_t Size) const;

private:
    std::string_view Content_;
    std::string Section_;
    bool Found_ = false;
    size_t LastLine_ = 0;            // where the section's last non-blank line starts
    std::vector<uint32_t> Hashes_;   // the hash of each line's name, in file order
    std::vector<uint32_t> Offsets_;  // where each of those lines starts
    bool Scan_ = false;              // content past 4 GB: lookups scan instead
};

// True when the content starts with a UTF-16 byte-order mark: such a file is refused for writing
// and reads see nothing in it.
bool IsUtf16(std::string_view Content);

}  // namespace profile
