// The profile-file engine on bytes in memory: what a read of a key gives, and edits that change
// the target line and keep every other byte. Pure functions of their arguments: no file, no
// state of the process. The read rules it follows are in rules.h.
//
// Every read and edit takes the code page its text is read in. Under code page 932 a lead byte
// and the byte after it (0x40-0xFC) are one character, whose second byte is never a letter to
// fold, a '[', a ']' or a '='; under any other code page one byte is one character.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace profile {

// Code page 932's lead bytes: 0x81-0x9F and 0xE0-0xFC.
bool IsCodePage932Lead(unsigned char Byte);

// What a read sees of a key's value: trimmed, cut at a NUL byte, one pair of matching quotes
// removed. No value when the section or key is missing, or when the key's line has no '='.
std::optional<std::string_view> FindValue(std::string_view Content, std::string_view Section,
                                          std::string_view Key, unsigned CodePage);

// Copies Value, or Default when there is none, into Buffer as GetPrivateProfileStringA does,
// with a terminating zero. A copy cut to Size - 1 bytes ends before a double-byte character
// that would not fit whole, and answers Size - 1; otherwise the count of bytes copied.
size_t CopyResult(std::optional<std::string_view> Value, const char* Default, char* Buffer,
                  size_t Size, unsigned CodePage);
// CopyResult of FindValue.
size_t ReadString(std::string_view Content, std::string_view Section, std::string_view Key,
                  const char* Default, char* Buffer, size_t Size, unsigned CodePage);

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
// A set goes to the first section of that name, its names trimmed as a read trims them; a delete
// removes the first line of the key in the first section of that name that holds one, its names
// matched as given (blanks at an end match nothing). PlanEdit says where the change goes, so
// that a caller writes the head, the change and the tail straight from the old content; Lookup,
// when given, is Section's lookup in this Content under the same code page. Edit builds the new
// content.
EditResult PlanEdit(std::string_view Content, std::string_view Section, std::string_view Key,
                    const char* Value, unsigned CodePage, EditPlan& Plan,
                    const SectionLookup* Lookup = nullptr);
EditResult Edit(std::string_view Content, std::string_view Section, std::string_view Key,
                const char* Value, unsigned CodePage, std::string& Out);

// True when After, another writer's write of Before, reads as the engine's own edit of Before
// (Section/Key set to Value, or deleted when Value is null), compared in one pass, in order, line
// by line: every non-blank line of the edit (headers, entries, every line of a duplicate key,
// lines without '=', lines before the first header, every section of a repeated name) must have
// its counterpart in After that reads alike, and After no other non-blank line. The line of the
// key set may stand anywhere in the first section of its name, as long as it reads as Value.
// The only differences allowed are those of a platform's rewrite of the whole file, listed in
// check.cpp with their reasons. False when the edit is refused.
bool ReadsAsWritten(std::string_view Before, std::string_view After, const char* Section,
                    const char* Key, const char* Value, unsigned CodePage);

// True when A and B read alike, line by line in order, with the differences that
// ReadsAsWritten allows.
bool ReadsAlike(std::string_view A, std::string_view B, unsigned CodePage);

// How a file that holds Old is rewritten in place to hold New, so that between any two steps it
// reads as Old or as New (blanks at a line's end and lines of blanks read as nothing):
//   1. grow: write Back's bytes past Old's end (blanks) at Old.size(), up to Grown; a full disk
//      or a size limit stops the write here, before any old byte has changed;
//   2. write Forward (New padded with blanks to Grown) from offset 0, in one write;
//   3. cut the file to New.size() and flush it.
// When step 1 fails the file is cut back to Old.size(); when a later step fails, Back (Old padded
// with blanks to Grown) is written from offset 0 and the file cut to Old.size(). A kill inside
// the one write of step 2 can leave a mix of the two contents.
struct InPlacePlan {
    size_t OldSize = 0;
    size_t NewSize = 0;
    size_t Grown = 0;     // max(OldSize, NewSize)
    std::string Forward;  // New, padded with blanks to Grown
    std::string Back;     // Old, padded with blanks to Grown
};
InPlacePlan PlanInPlace(std::string_view Old, std::string_view New);

}  // namespace profile
