// The check of another writer's write: does the new content read as the old one with the change?
// One pass over each content with the read rules. The pass over the new content notes, for the
// first section of each name, what a read gives for each key; the pass over the old content
// compares each key of the first section of each name with that note.
//
// Every key that reads in the old content must read the same, except what Wine's rewrite of the
// whole file changes and the program never asks for: the section "" (a header "[]", the lines
// before the first header), the key "", and a name or value cut by a NUL after a blank (Wine
// writes it up to the NUL, so the blank ends the line and is trimmed).
#include <cstdint>
#include <unordered_map>

#include "profile/rules.h"

namespace profile {
namespace {

bool EndsInBlank(std::string_view Name)
{
    return !Name.empty() && Trim(Name.substr(Name.size() - 1)).empty();
}

// A name in a group (the sections of the keys); names that read alike are one.
struct GroupName {
    uint32_t Group;
    std::string_view Name;
};
struct GroupNameHash {
    size_t operator()(const GroupName& Key) const
    {
        return HashName(Key.Name) ^ (Key.Group * 0x9E3779B9u);
    }
};
struct GroupNameEqual {
    unsigned CodePage;
    bool operator()(const GroupName& A, const GroupName& B) const
    {
        return A.Group == B.Group && SameName(A.Name, B.Name, CodePage);
    }
};
template <typename T>
using NameTable = std::unordered_map<GroupName, T, GroupNameHash, GroupNameEqual>;

// A section name: its group in the table of keys, and whether each content has had a header of
// it yet.
struct SectionNote {
    uint32_t Group;
    bool InAfter;
    bool InBefore;
};

// A key of the first section of a name: what a read gives in each content (the first line of
// that name in the section), and whether they were compared.
struct KeyNote {
    std::optional<std::string_view> After;
    std::optional<std::string_view> Before;
    bool InBefore;
    bool Compared;
};

// What a read gives for the first line of a key.
std::optional<std::string_view> ReadOf(const Entry& Item)
{
    Location Found;
    Found.KeyFound = true;
    Found.KeyEntry = Item;
    return ValueOf(Found);
}

}  // namespace

bool ReadsAsWritten(std::string_view Before, std::string_view After, const char* Section,
                    const char* Key, const char* Value, unsigned CodePage)
{
    std::string_view AskedSection = Section, AskedKey = Key;
    std::string_view TrimmedSection = Trim(AskedSection), TrimmedKey = Trim(AskedKey);
    // The new content is the engine's own edit of the old, byte for byte (as Windows' write and
    // Wine's on a file it wrote before leave it): the edit keeps every other key, so it reads as
    // written without parsing. Names with blanks at an end are left to the full comparison.
    EditPlan Plan;
    EditResult Planned = TrimmedSection.size() == AskedSection.size() &&
                                 TrimmedKey.size() == AskedKey.size() && !IsUtf16(Before)
                             ? PlanEdit(Before, AskedSection, AskedKey, Value, CodePage, Plan)
                             : EditResult::Refused;
    if (Planned == EditResult::Unchanged && After == Before) return true;
    if (Planned == EditResult::Changed &&
        After.size() == Before.size() - Plan.Remove + Plan.Insert.size() &&
        After.compare(0, Plan.Offset, Before.substr(0, Plan.Offset)) == 0 &&
        After.compare(Plan.Offset, Plan.Insert.size(), Plan.Insert) == 0 &&
        After.substr(Plan.Offset + Plan.Insert.size()) == Before.substr(Plan.Offset + Plan.Remove))
        return true;
    NameTable<SectionNote> Sections(0, GroupNameHash{}, GroupNameEqual{CodePage});
    NameTable<KeyNote> Keys(0, GroupNameHash{}, GroupNameEqual{CodePage});
    Keys.reserve(After.size() / 32);  // about one line in 32 bytes
    auto SectionOf = [&](std::string_view Name) -> SectionNote& {
        auto [Found, Added] = Sections.try_emplace(GroupName{0, Name});
        if (Added) Found->second.Group = (uint32_t)Sections.size() - 1;
        return Found->second;
    };

    // The new content: what a read gives of each key of the first section of each name. A UTF-16
    // file holds nothing.
    if (!IsUtf16(After)) {
        bool Inside = false;  // in the first section of its name
        uint32_t Group = 0;
        for (LineScanner Scanner{After, ContentStart(After)}; !Scanner.AtEnd();) {
            std::string_view Seen = SeenPart(After, Scanner.Next()), Name;
            if (Seen.empty()) continue;
            if (ParseHeader(Seen, Name, CodePage)) {
                SectionNote& Note = SectionOf(Name);
                Inside = !Note.InAfter;
                Group = Note.Group;
                Note.InAfter = true;
                continue;
            }
            if (!Inside) continue;
            Entry Item = ParseEntry(Seen, CodePage);
            auto [Found, Added] = Keys.try_emplace(GroupName{Group, Item.Name});
            if (Added) Found->second.After = ReadOf(Item);
        }
    }

    // What the key written must read as: a set as its value does in a line of its own; a delete
    // as the engine's own delete leaves it, where a second line of the key in the first section
    // of that name reads once the first is gone. The first line of the key anywhere else (in a
    // later section of the name) leaves the key unread.
    std::string Written = std::string("[s]\nk=") + (Value ? Value : "");
    std::optional<std::string_view> Expected;
    EditPlan Deleted;
    bool Deletes = !Value && PlanEdit(Before, AskedSection, AskedKey, nullptr, CodePage,
                                      Deleted) == EditResult::Changed;
    if (Value) Expected = FindValue(Written, "s", "k", CodePage);

    // The old content, section by section: each key of the first section of each name reads as
    // it did, but for the key written and what the rewrite may change.
    bool Utf16 = IsUtf16(Before);
    bool Compare = false;  // the section is the first of its name, and its keys are compared
    uint32_t Group = 0;
    bool Target = false;   // the section is the written key's
    bool Looking = false;  // the first section of the deleted key's name, before its next line
    for (LineScanner Scanner{Before, ContentStart(Before)}; !Scanner.AtEnd();) {
        Line Here = Scanner.Next();
        std::string_view Seen = SeenPart(Before, Here), Name;
        if (Seen.empty()) continue;
        if (ParseHeader(Seen, Name, CodePage)) {
            SectionNote& Note = SectionOf(Name);
            bool First = !Note.InBefore;
            Note.InBefore = true;
            Compare = First && !Name.empty() && !EndsInBlank(Name);
            Group = Note.Group;
            Target = Compare && SameName(Name, TrimmedSection, CodePage);
            Looking = Deletes && First && SameName(Name, AskedSection, CodePage);
            continue;
        }
        if (!Compare && !Looking) continue;
        Entry Item = ParseEntry(Seen, CodePage);
        std::optional<std::string_view> Read;
        if (!Utf16) Read = ReadOf(Item);
        if (Looking && Here.Begin != Deleted.Offset && SameName(Item.Name, AskedKey, CodePage)) {
            Expected = Read;
            Looking = false;
        }
        if (!Compare) continue;
        KeyNote& Note = Keys[GroupName{Group, Item.Name}];
        if (!Note.InBefore) {
            Note.InBefore = true;
            Note.Before = Read;
        }
        if (Note.Compared || Item.Name.empty() || EndsInBlank(Item.Name) ||
            EndsInBlank(Item.Value) || (Target && SameName(Item.Name, TrimmedKey, CodePage)))
            continue;
        if (Note.Before != Note.After) return false;
        Note.Compared = true;
    }

    // The key written, as a read of the new content gives it.
    std::optional<std::string_view> Got;
    auto Note = Sections.find(GroupName{0, AskedSection});
    if (Note != Sections.end() && Note->second.InAfter) {
        auto Found = Keys.find(GroupName{Note->second.Group, AskedKey});
        if (Found != Keys.end()) Got = Found->second.After;
    }
    return Got == Expected;
}

}  // namespace profile

namespace profile {
bool ReadsAlike(std::string_view A, std::string_view B, unsigned) { return A == B; }
}  // namespace profile
