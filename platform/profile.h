// The profile-file engine on bytes in memory: Windows' rules for reading a key, and edits that
// change only the target line and keep every other byte of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace profile {

// What a read sees of a key's value: trimmed, cut at a NUL byte, one pair of matching quotes
// removed. No value when the section or key is missing, or when the key's line has no '='.
std::optional<std::string_view> FindValue(std::string_view Content, std::string_view Section,
                                          std::string_view Key);

// Copies what a read of Section/Key gives into Buffer as GetPrivateProfileStringA does: at most
// Size - 1 bytes and a terminating zero, Default when the key has no value. Returns the count
// of bytes copied, without the terminator.
size_t ReadString(std::string_view Content, std::string_view Section, std::string_view Key,
                  const char* Default, char* Buffer, size_t Size);

enum class EditResult {
    Changed,    // Out holds the new content
    Unchanged,  // the file already says this: nothing to write
    Refused,    // the name or value cannot be written without damaging the file
};

// Sets Section/Key to Value, or deletes the key when Value is null, leaving every other byte of
// Content as it was.
EditResult Edit(std::string_view Content, std::string_view Section, std::string_view Key,
                const char* Value, std::string& Out);

// The one change that an edit makes: the Remove bytes at Offset give way to Insert.
struct EditPlan {
    size_t Offset = 0;
    size_t Remove = 0;
    std::string Insert;
};

// What Edit would do, without building the new content: a caller that writes the head, the
// change and the tail straight from the old content needs no second copy of the file.
EditResult PlanEdit(std::string_view Content, std::string_view Section, std::string_view Key,
                    const char* Value, EditPlan& Plan);

// Many lookups in one section of one content that does not change meanwhile: the section is found
// and the names of its lines indexed in one pass, then each lookup costs a hash probe and a parse
// of one line. Its answers are exactly those of FindValue and ReadString. It keeps a view of the
// content, which must outlive it unchanged.
class SectionIndex {
public:
    SectionIndex(std::string_view Content, std::string_view Section);
    std::optional<std::string_view> FindValue(std::string_view Key) const;
    size_t ReadString(std::string_view Key, const char* Default, char* Buffer, size_t Size) const;

private:
    std::string_view Content_;
    std::string Section_;
    bool Indexed_ = false;  // false: lookups fall back to a scan of the content
    bool Found_ = false;    // the section is there
    size_t Begin_ = 0;      // the section's first line after its header
    size_t End_ = 0;        // where the next header starts, or the end of the content
    struct FreeTable {
        void operator()(uint64_t* Table) const;
    };
    std::unique_ptr<uint64_t[], FreeTable> Table_;  // hash of a name << 32 | offset of its line + 1
    size_t TableSize_ = 0;                           // a power of two
};

// True when the content starts with a UTF-16 byte-order mark: such a file is refused for writing
// and reads see nothing in it.
bool IsUtf16(std::string_view Content);

}  // namespace profile
