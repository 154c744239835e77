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
#include <vector>

#include "platform/profile-rules.h"

namespace profile {
namespace {

bool EndsInBlank(std::string_view Name)
{
    return !Name.empty() && Trim(Name.substr(Name.size() - 1)).empty();
}

// Names, each with a T, in groups (the sections of the keys), names read alike being one. The
// names and their Ts stand in the order they came. The old and the new content mostly meet them in
// that order, so the one after the last found is tried first; the slots, 8 bytes each, are
// searched when it is not the one.
template <typename T>
class NameTable {
public:
    explicit NameTable(size_t Expected)
    {
        size_t Size = 16;
        while (Size < 2 * Expected) Size *= 2;
        Slots_.resize(Size);
        Items_.reserve(Expected);
    }

    // Group/Name's T, added value-initialised (Added) when the table lacks it.
    T& At(uint32_t Group, std::string_view Name, bool& Added)
    {
        if (2 * (Items_.size() + 1) > Slots_.size()) Grow();
        uint32_t Hash = Mix(Group, Name);
        Added = false;
        if (Last_ + 1 < Items_.size() && Is(Items_[Last_ + 1], Hash, Group, Name))
            return Items_[++Last_].Value;
        Slot& Found = Probe(Hash, Group, Name);
        if (Found.Item == 0) {
            Added = true;
            Items_.push_back(Item{Name, Hash, Group, T{}});
            Found = Slot{Hash, (uint32_t)Items_.size()};
        }
        Last_ = Found.Item - 1;
        return Items_[Last_].Value;
    }

    // Group/Name's T, or null.
    T* Find(uint32_t Group, std::string_view Name)
    {
        Slot& Found = Probe(Mix(Group, Name), Group, Name);
        return Found.Item ? &Items_[Found.Item - 1].Value : nullptr;
    }

private:
    struct Slot {
        uint32_t Hash;
        uint32_t Item;  // 1 + the index of the item; 0: free
    };
    struct Item {
        std::string_view Name;
        uint32_t Hash;
        uint32_t Group;
        T Value;
    };

    static bool Is(const Item& Named, uint32_t Hash, uint32_t Group, std::string_view Name)
    {
        return Named.Hash == Hash && Named.Group == Group &&
               (Named.Name == Name || SameName(Named.Name, Name));
    }

    static uint32_t Mix(uint32_t Group, std::string_view Name)
    {
        uint32_t Hash = HashName(Name) ^ (Group * 0x9E3779B9u);
        Hash = (Hash ^ (Hash >> 16)) * 0x85EBCA6Bu;
        return Hash ^ (Hash >> 13);
    }

    // Group/Name's slot, or the free slot where it would go.
    Slot& Probe(uint32_t Hash, uint32_t Group, std::string_view Name)
    {
        size_t Mask = Slots_.size() - 1;
        for (size_t Index = Hash & Mask;; Index = (Index + 1) & Mask) {
            Slot& Each = Slots_[Index];
            if (Each.Item == 0) return Each;
            if (Each.Hash == Hash && Is(Items_[Each.Item - 1], Hash, Group, Name)) return Each;
        }
    }

    void Grow()
    {
        std::vector<Slot> Old(Slots_.size() * 2);
        Old.swap(Slots_);
        size_t Mask = Slots_.size() - 1;
        for (const Slot& Each : Old) {
            if (Each.Item == 0) continue;
            size_t Index = Each.Hash & Mask;
            while (Slots_[Index].Item) Index = (Index + 1) & Mask;
            Slots_[Index] = Each;
        }
    }

    std::vector<Slot> Slots_;
    std::vector<Item> Items_;
    size_t Last_ = SIZE_MAX;  // the item found last; SIZE_MAX + 1 is the first
};

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
                    const char* Key, const char* Value)
{
    std::string_view AskedSection = Section, AskedKey = Key;
    std::string_view TrimmedSection = Trim(AskedSection), TrimmedKey = Trim(AskedKey);
    // The new content is the engine's own edit of the old, byte for byte (as Windows' write and
    // Wine's on a file it wrote before leave it): the edit keeps every other key, so it reads as
    // written without parsing. Names with blanks at an end are left to the full comparison.
    EditPlan Plan;
    EditResult Planned = TrimmedSection.size() == AskedSection.size() &&
                                 TrimmedKey.size() == AskedKey.size() && !IsUtf16(Before)
                             ? PlanEdit(Before, AskedSection, AskedKey, Value, Plan)
                             : EditResult::Refused;
    if (Planned == EditResult::Unchanged && After == Before) return true;
    if (Planned == EditResult::Changed &&
        After.size() == Before.size() - Plan.Remove + Plan.Insert.size() &&
        After.compare(0, Plan.Offset, Before.substr(0, Plan.Offset)) == 0 &&
        After.compare(Plan.Offset, Plan.Insert.size(), Plan.Insert) == 0 &&
        After.substr(Plan.Offset + Plan.Insert.size()) == Before.substr(Plan.Offset + Plan.Remove))
        return true;
    NameTable<SectionNote> Sections(16);
    NameTable<KeyNote> Keys(After.size() / 32);  // about one line in 32 bytes
    uint32_t Groups = 0;
    bool Added = false;
    auto SectionOf = [&](std::string_view Name) -> SectionNote& {
        SectionNote& Note = Sections.At(0, Name, Added);
        if (Added) Note.Group = Groups++;
        return Note;
    };

    // The new content: what a read gives of each key of the first section of each name. A UTF-16
    // file holds nothing.
    if (!IsUtf16(After)) {
        bool Inside = false;  // in the first section of its name
        uint32_t Group = 0;
        for (LineScanner Scanner{After, ContentStart(After)}; !Scanner.AtEnd();) {
            std::string_view Seen = SeenPart(After, Scanner.Next()), Name;
            if (Seen.empty()) continue;
            if (ParseHeader(Seen, Name)) {
                SectionNote& Note = SectionOf(Name);
                Inside = !Note.InAfter;
                Group = Note.Group;
                Note.InAfter = true;
                continue;
            }
            if (!Inside) continue;
            Entry Item = ParseEntry(Seen);
            KeyNote& Note = Keys.At(Group, Item.Name, Added);
            if (Added) Note.After = ReadOf(Item);
        }
    }

    // What the key written must read as: a set as its value does in a line of its own; a delete
    // as the engine's own delete leaves it, where a second line of the key in the first section
    // of that name reads once the first is gone. The first line of the key anywhere else (in a
    // later section of the name) leaves the key unread.
    std::string Written = std::string("[s]\nk=") + (Value ? Value : "");
    std::optional<std::string_view> Expected;
    EditPlan Deleted;
    bool Deletes = !Value && PlanEdit(Before, AskedSection, AskedKey, nullptr, Deleted) ==
                                 EditResult::Changed;
    if (Value) Expected = FindValue(Written, "s", "k");

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
        if (ParseHeader(Seen, Name)) {
            SectionNote& Note = SectionOf(Name);
            bool First = !Note.InBefore;
            Note.InBefore = true;
            Compare = First && !Name.empty() && !EndsInBlank(Name);
            Group = Note.Group;
            Target = Compare && SameName(Name, TrimmedSection);
            Looking = Deletes && First && SameName(Name, AskedSection);
            continue;
        }
        if (!Compare && !Looking) continue;
        Entry Item = ParseEntry(Seen);
        std::optional<std::string_view> Read;
        if (!Utf16) Read = ReadOf(Item);
        if (Looking && Here.Begin != Deleted.Offset && SameName(Item.Name, AskedKey)) {
            Expected = Read;
            Looking = false;
        }
        if (!Compare) continue;
        KeyNote& Note = Keys.At(Group, Item.Name, Added);
        if (!Note.InBefore) {
            Note.InBefore = true;
            Note.Before = Read;
        }
        if (Note.Compared || Item.Name.empty() || EndsInBlank(Item.Name) ||
            EndsInBlank(Item.Value) || (Target && SameName(Item.Name, TrimmedKey)))
            continue;
        if (Note.Before != Note.After) return false;
        Note.Compared = true;
    }

    // The key written, as a read of the new content gives it.
    std::optional<std::string_view> Got;
    if (SectionNote* Note = Sections.Find(0, AskedSection); Note && Note->InAfter) {
        if (KeyNote* Found = Keys.Find(Note->Group, AskedKey)) Got = Found->After;
    }
    return Got == Expected;
}

}  // namespace profile
