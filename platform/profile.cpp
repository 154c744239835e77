#include "platform/profile.h"

#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace profile {
namespace {

// Blanks are trimmed from both ends of every line, name and value.
bool IsBlank(unsigned char Byte)
{
    return (Byte >= 0x09 && Byte <= 0x0D) || Byte == 0x1A || Byte == 0x20;
}

bool IsLineEnd(char Byte)
{
    return Byte == '\r' || Byte == '\n';
}

char FoldAscii(char Byte)
{
    return (Byte >= 'A' && Byte <= 'Z') ? (char)(Byte + 0x20) : Byte;
}

// Names match without regard to the case of A-Z only.
bool SameName(std::string_view A, std::string_view B)
{
    if (A.size() != B.size()) return false;
    for (size_t Index = 0; Index < A.size(); Index++) {
        if (FoldAscii(A[Index]) != FoldAscii(B[Index])) return false;
    }
    return true;
}

std::string_view Trim(std::string_view Text)
{
    size_t Begin = 0;
    size_t End = Text.size();
    while (Begin < End && IsBlank((unsigned char)Text[Begin])) Begin++;
    while (End > Begin && IsBlank((unsigned char)Text[End - 1])) End--;
    return Text.substr(Begin, End - Begin);
}

bool HasUtf8Bom(std::string_view Content)
{
    return Content.size() >= 3 && Content.compare(0, 3, "\xEF\xBB\xBF") == 0;
}

// One physical line: its bytes [Begin, End), then its line ending (CR LF, LF or a lone CR) up to
// Next. The last line may have no line ending, so that End == Next.
struct Line {
    size_t Begin;
    size_t End;
    size_t Next;
};

// Walks the lines of the content in one pass. The positions of the next CR and the next LF are
// remembered, so that each byte is searched once however the lines end.
class LineScanner {
public:
    LineScanner(std::string_view Content, size_t Start)
        : Content_(Content), Position_(Start)
    {
    }

    bool AtEnd() const { return Position_ >= Content_.size(); }
    size_t Position() const { return Position_; }

    Line Next()
    {
        Line Result;
        Result.Begin = Position_;
        size_t Cr = Find('\r', NextCr_);
        size_t Lf = Find('\n', NextLf_);
        size_t Size = Content_.size();
        if (Cr < Lf) {
            Result.End = Cr;
            Result.Next = (Cr + 1 == Lf && Lf < Size) ? Lf + 1 : Cr + 1;
        } else if (Lf < Size) {
            Result.End = Lf;
            Result.Next = Lf + 1;
        } else {
            Result.End = Size;
            Result.Next = Size;
        }
        Position_ = Result.Next;
        return Result;
    }

    // Moves on to a later position, skipping the lines between.
    void Seek(size_t Position) { Position_ = Position; }

private:
    // The first position of Byte at or after the current position, or the content's size.
    size_t Find(char Byte, size_t& Cached)
    {
        if (Cached == kUnknown || Cached < Position_) {
            const char* Base = Content_.data();
            const void* Hit = memchr(Base + Position_, Byte, Content_.size() - Position_);
            Cached = Hit ? (size_t)((const char*)Hit - Base) : Content_.size();
        }
        return Cached;
    }

    static constexpr size_t kUnknown = (size_t)-1;
    std::string_view Content_;
    size_t Position_;
    size_t NextCr_ = kUnknown;
    size_t NextLf_ = kUnknown;
};

// What a read sees of a line: its bytes up to the first NUL, trimmed.
std::string_view SeenPart(std::string_view Content, const Line& Current)
{
    std::string_view Bytes = Content.substr(Current.Begin, Current.End - Current.Begin);
    const void* Nul = memchr(Bytes.data(), '\0', Bytes.size());
    if (Nul) Bytes = Bytes.substr(0, (const char*)Nul - Bytes.data());
    return Trim(Bytes);
}

// A section header: a trimmed line that starts with '[' and has a ']' after it. The name runs to
// the last ']' and is trimmed.
bool ParseHeader(std::string_view Seen, std::string_view& Name)
{
    if (Seen.empty() || Seen[0] != '[') return false;
    size_t Close = Seen.rfind(']');
    if (Close == std::string_view::npos || Close == 0) return false;
    Name = Trim(Seen.substr(1, Close - 1));
    return true;
}

// An entry: the name before the first '=', the value after it, both trimmed. A line without '='
// is an entry with no value.
struct Entry {
    std::string_view Name;
    std::string_view Value;
    bool HasValue;
};

Entry ParseEntry(std::string_view Seen)
{
    Entry Result;
    size_t Equals = Seen.find('=');
    if (Equals == std::string_view::npos) {
        Result.Name = Seen;
        Result.HasValue = false;
    } else {
        Result.Name = Trim(Seen.substr(0, Equals));
        Result.Value = Trim(Seen.substr(Equals + 1));
        Result.HasValue = true;
    }
    return Result;
}

// Jumps to the next line that is a section header, whatever lies between: a header's '[' is the
// first non-blank byte of its line, so only the '[' bytes of the content need a look. Leaves the
// scanner on that line and answers true, or answers false at the end of the content.
bool SkipToHeader(std::string_view Content, size_t Start, LineScanner& Scanner)
{
    const char* Base = Content.data();
    size_t Position = Scanner.Position();
    while (Position < Content.size()) {
        const void* Hit = memchr(Base + Position, '[', Content.size() - Position);
        if (!Hit) break;
        size_t Bracket = (size_t)((const char*)Hit - Base);
        size_t LineStart = Bracket;
        while (LineStart > Start && !IsLineEnd(Base[LineStart - 1]) &&
               IsBlank((unsigned char)Base[LineStart - 1])) {
            LineStart--;
        }
        if (LineStart == Start || IsLineEnd(Base[LineStart - 1])) {
            Scanner.Seek(LineStart);
            return true;
        }
        Position = Bracket + 1;
    }
    Scanner.Seek(Content.size());
    return false;
}

// Where a section and a key stand in the content: the first section of that name, and in it the
// first entry of that name.
struct Location {
    bool SectionFound = false;
    Line LastLineOfSection{};  // the last non-blank line of the section (its header at least)
    bool KeyFound = false;
    Line KeyLine{};
    Entry KeyEntry{};
};

// Finds the first header of that name; everything before it is passed over. Leaves the scanner
// on the line after the header.
bool FindSection(std::string_view Content, size_t Start, std::string_view Section,
                 LineScanner& Scanner, Line& Header)
{
    while (SkipToHeader(Content, Start, Scanner)) {
        Header = Scanner.Next();
        std::string_view Name;
        if (ParseHeader(SeenPart(Content, Header), Name) && SameName(Name, Section)) return true;
    }
    return false;
}

Location Locate(std::string_view Content, std::string_view Section, std::string_view Key)
{
    Location Result;
    size_t Start = HasUtf8Bom(Content) ? 3 : 0;
    LineScanner Scanner(Content, Start);
    Result.SectionFound = FindSection(Content, Start, Section, Scanner, Result.LastLineOfSection);
    if (!Result.SectionFound) return Result;

    // Read its lines up to the next header.
    while (!Scanner.AtEnd()) {
        Line Current = Scanner.Next();
        std::string_view Seen = SeenPart(Content, Current);
        if (Seen.empty()) continue;
        std::string_view Name;
        if (ParseHeader(Seen, Name)) break;
        Result.LastLineOfSection = Current;
        Entry Parsed = ParseEntry(Seen);
        if (SameName(Parsed.Name, Key)) {
            Result.KeyFound = true;
            Result.KeyLine = Current;
            Result.KeyEntry = Parsed;
            break;
        }
    }
    return Result;
}

// The line ending that new lines take: the file's first, or CR LF in a file that has none.
std::string_view LineEndingOf(std::string_view Content)
{
    size_t End = Content.find_first_of("\r\n");
    if (End == std::string_view::npos) return "\r\n";
    if (Content[End] == '\n') return "\n";
    if (End + 1 < Content.size() && Content[End + 1] == '\n') return "\r\n";
    return "\r";
}

bool HasLineBreakOrNul(std::string_view Text)
{
    return Text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// A name that a read would give back as written: not empty, no blanks at either end, and no
// byte that would end the line or make it mean something else.
bool IsWritableName(std::string_view Name)
{
    return !Name.empty() && !HasLineBreakOrNul(Name) && Trim(Name).size() == Name.size();
}

// Sets the 0x20 bit of each byte of a word that is an ASCII capital: FoldAscii on eight bytes.
uint64_t FoldWord(uint64_t Word)
{
    uint64_t Low7 = Word & 0x7F7F7F7F7F7F7F7Full;
    uint64_t FromA = Low7 + 0x3F3F3F3F3F3F3F3Full;  // bit 7 set where the byte is 'A' or above
    uint64_t PastZ = Low7 + 0x2525252525252525ull;  // bit 7 set where the byte is past 'Z'
    uint64_t Capitals = FromA & ~PastZ & ~Word & 0x8080808080808080ull;
    return Word | (Capitals >> 2);
}

uint64_t MixWord(uint64_t Hash, uint64_t Word)
{
    Hash = (Hash ^ FoldWord(Word)) * 0xFF51AFD7ED558CCDull;
    return Hash ^ (Hash >> 29);
}

// A name's hash, without regard to the case of A-Z, as names match; eight bytes at a time.
uint32_t HashName(std::string_view Name)
{
    uint64_t Hash = 0x9E3779B97F4A7C15ull ^ Name.size();
    size_t Index = 0;
    for (; Index + 8 <= Name.size(); Index += 8) {
        uint64_t Word;
        memcpy(&Word, Name.data() + Index, 8);
        Hash = MixWord(Hash, Word);
    }
    if (Index < Name.size()) {
        uint64_t Word = 0;
        memcpy(&Word, Name.data() + Index, Name.size() - Index);
        Hash = MixWord(Hash, Word);
    }
    return (uint32_t)(Hash ^ (Hash >> 32));
}

// The hash of the name of an ordinary entry line, without the general parse: what HashName gives
// for ParseEntry(SeenPart(line)).Name. Answers false, leaving the line to the general parse, for
// a line that is empty to a read or might be a section header.
bool QuickNameHash(std::string_view Content, const Line& Current, uint32_t& Hash)
{
    const char* Base = Content.data();
    size_t Begin = Current.Begin;
    size_t End = Current.End;
    while (Begin < End && IsBlank((unsigned char)Base[Begin])) Begin++;
    if (Begin == End || Base[Begin] == '\0' || Base[Begin] == '[') return false;
    // The name runs to the first '=', or to the end of what a read sees, less trailing blanks.
    const void* Equals = memchr(Base + Begin, '=', End - Begin);
    size_t NameEnd = Equals ? (size_t)((const char*)Equals - Base) : End;
    const void* Nul = memchr(Base + Begin, '\0', NameEnd - Begin);
    if (Nul) NameEnd = (size_t)((const char*)Nul - Base);
    while (NameEnd > Begin && IsBlank((unsigned char)Base[NameEnd - 1])) NameEnd--;
    Hash = HashName(std::string_view(Base + Begin, NameEnd - Begin));
    return true;
}

// Spreads a hash over the low bits that pick a slot of the index table.
size_t HomeSlot(uint32_t Hash, size_t Mask)
{
    Hash ^= Hash >> 16;
    Hash *= 0x85EBCA6Bu;
    Hash ^= Hash >> 13;
    Hash *= 0xC2B2AE35u;
    Hash ^= Hash >> 16;
    return Hash & Mask;
}

// A table of Size zeroed slots, to be released with free(). A large one is aligned to huge pages
// and asks for them before it is first touched: where mapping memory 4 KB at a time is costly
// (virtual machines with shadow page tables), that is most of what building a large table takes.
uint64_t* ZeroTable(size_t Size)
{
    constexpr size_t kHugePage = (size_t)2 << 20;
    size_t Bytes = Size * sizeof(uint64_t);
    bool Large = Bytes >= kHugePage / 8;
    size_t Alignment = Large ? kHugePage : 64;
    size_t Rounded = (Bytes + Alignment - 1) / Alignment * Alignment;
    void* Table = aligned_alloc(Alignment, Rounded);
    if (!Table) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
    if (Large) (void)madvise(Table, Rounded, MADV_HUGEPAGE);
#endif
    memset(Table, 0, Bytes);
    return (uint64_t*)Table;
}

// The line that starts at Begin, found without looking past its end.
Line LineAt(std::string_view Content, size_t Begin)
{
    size_t End = Begin;
    while (End < Content.size() && !IsLineEnd(Content[End])) End++;
    return Line{Begin, End, End};
}

// What a read gives for a key's line: its value with one pair of matching quotes removed, or
// nothing for a line without '='.
std::optional<std::string_view> ValueOf(const Entry& Found)
{
    if (!Found.HasValue) return std::nullopt;
    std::string_view Value = Found.Value;
    if (Value.size() >= 2 && (Value[0] == '"' || Value[0] == '\'') &&
        Value.back() == Value[0]) {
        Value = Value.substr(1, Value.size() - 2);
    }
    return Value;
}

// Copies a read's result into Buffer as GetPrivateProfileStringA does.
size_t CopyResult(std::optional<std::string_view> Value, const char* Default, char* Buffer,
                  size_t Size)
{
    if (Size == 0) return 0;
    std::string_view Text = Value ? *Value : std::string_view(Default ? Default : "");
    size_t Count = Text.size() < Size - 1 ? Text.size() : Size - 1;
    memcpy(Buffer, Text.data(), Count);
    Buffer[Count] = '\0';
    return Count;
}

}  // namespace

bool IsUtf16(std::string_view Content)
{
    return Content.size() >= 2 && ((Content[0] == '\xFF' && Content[1] == '\xFE') ||
                                   (Content[0] == '\xFE' && Content[1] == '\xFF'));
}

std::optional<std::string_view> FindValue(std::string_view Content, std::string_view Section,
                                          std::string_view Key)
{
    if (IsUtf16(Content)) return std::nullopt;
    Location Found = Locate(Content, Section, Key);
    if (!Found.KeyFound) return std::nullopt;
    return ValueOf(Found.KeyEntry);
}

size_t ReadString(std::string_view Content, std::string_view Section, std::string_view Key,
                  const char* Default, char* Buffer, size_t Size)
{
    if (Size == 0) return 0;
    return CopyResult(FindValue(Content, Section, Key), Default, Buffer, Size);
}

SectionIndex::SectionIndex(std::string_view Content, std::string_view Section)
    : Content_(Content), Section_(Section)
{
    Indexed_ = true;
    if (IsUtf16(Content)) return;
    size_t Start = HasUtf8Bom(Content) ? 3 : 0;
    LineScanner Scanner(Content, Start);
    Line Header;
    Found_ = FindSection(Content, Start, Section, Scanner, Header);
    if (!Found_) return;
    Begin_ = Scanner.Position();
    End_ = Content.size();

    // Each name's first line, in an open-addressing table kept at most three quarters full. A
    // later line of a name already there is never seen by a read, so it is not entered. The
    // table starts with room for lines of 32 bytes up to the next '[' line, to spare regrowing.
    LineScanner Ahead(Content, Begin_);
    SkipToHeader(Content, Start, Ahead);
    size_t Capacity = 64;
    while (Capacity < (Ahead.Position() - Begin_) / 32) Capacity *= 2;
    size_t Count = 0;
    Table_.reset(ZeroTable(Capacity));
    TableSize_ = Capacity;
    auto Enter = [&](uint64_t Item) {
        if (4 * (Count + 1) > 3 * TableSize_) {
            std::unique_ptr<uint64_t[], FreeTable> Old(ZeroTable(TableSize_ * 2));
            Old.swap(Table_);
            size_t Mask = TableSize_ * 2 - 1;
            for (size_t Index = 0; Index < TableSize_; Index++) {
                uint64_t Kept = Old[Index];
                if (!Kept) continue;
                size_t Slot = HomeSlot((uint32_t)(Kept >> 32), Mask);
                while (Table_[Slot]) Slot = (Slot + 1) & Mask;
                Table_[Slot] = Kept;
            }
            TableSize_ *= 2;
        }
        uint32_t Hash = (uint32_t)(Item >> 32);
        size_t Mask = TableSize_ - 1;
        size_t Slot = HomeSlot(Hash, Mask);
        while (Table_[Slot] && (uint32_t)(Table_[Slot] >> 32) != Hash) Slot = (Slot + 1) & Mask;
        if (!Table_[Slot]) {
            Table_[Slot] = Item;
            Count++;
        }
    };

    // A large table misses the processor's caches on nearly every entry. The slots of the next
    // lines are fetched ahead while a few lines wait in a queue, and entered in line order.
    constexpr size_t kAhead = 16;
    uint64_t Queue[kAhead];
    size_t Queued = 0;  // lines read so far; the last kAhead of them wait in Queue
    while (!Scanner.AtEnd()) {
        Line Current = Scanner.Next();
        uint32_t Hash;
        if (!QuickNameHash(Content, Current, Hash)) {
            std::string_view Seen = SeenPart(Content, Current);
            if (Seen.empty()) continue;
            std::string_view Header;
            if (ParseHeader(Seen, Header)) {
                End_ = Current.Begin;
                break;
            }
            Hash = HashName(ParseEntry(Seen).Name);
        }
        uint64_t Offset = Current.Begin - Begin_ + 1;
        if (Offset > UINT32_MAX) {
            // A section this large keeps to plain scans.
            Indexed_ = false;
            Table_.reset();
            return;
        }
        __builtin_prefetch(&Table_[HomeSlot(Hash, TableSize_ - 1)]);
        uint64_t& Place = Queue[Queued++ % kAhead];
        if (Queued > kAhead) Enter(Place);
        Place = ((uint64_t)Hash << 32) | Offset;
    }
    size_t Waiting = Queued < kAhead ? Queued : kAhead;
    for (size_t Index = Queued - Waiting; Index < Queued; Index++) Enter(Queue[Index % kAhead]);
}

std::optional<std::string_view> SectionIndex::FindValue(std::string_view Key) const
{
    if (!Indexed_) return profile::FindValue(Content_, Section_, Key);
    if (!Found_) return std::nullopt;
    uint32_t Hash = HashName(Key);
    size_t Mask = TableSize_ - 1;
    for (size_t Slot = HomeSlot(Hash, Mask); Table_[Slot]; Slot = (Slot + 1) & Mask) {
        if ((uint32_t)(Table_[Slot] >> 32) != Hash) continue;
        Line Current = LineAt(Content_, Begin_ + (uint32_t)Table_[Slot] - 1);
        Entry Parsed = ParseEntry(SeenPart(Content_, Current));
        if (SameName(Parsed.Name, Key)) return ValueOf(Parsed);
        // The first name of that hash is another one: the key may still stand further on.
        return profile::FindValue(Content_.substr(0, End_), Section_, Key);
    }
    return std::nullopt;
}

void SectionIndex::FreeTable::operator()(uint64_t* Table) const
{
    free(Table);
}

size_t SectionIndex::ReadString(std::string_view Key, const char* Default, char* Buffer,
                                size_t Size) const
{
    if (Size == 0) return 0;
    return CopyResult(FindValue(Key), Default, Buffer, Size);
}

EditResult PlanEdit(std::string_view Content, std::string_view Section, std::string_view Key,
                    const char* Value, EditPlan& Plan)
{
    if (IsUtf16(Content) || !IsWritableName(Section) || !IsWritableName(Key)) {
        return EditResult::Refused;
    }
    // A key name with '=' or one that starts with '[' would read back as something else.
    if (Key.find('=') != std::string_view::npos || Key[0] == '[') return EditResult::Refused;
    std::string_view NewValue = Value ? std::string_view(Value) : std::string_view();
    if (Value && HasLineBreakOrNul(NewValue)) return EditResult::Refused;

    Location Found = Locate(Content, Section, Key);
    std::string_view Ending = LineEndingOf(Content);
    std::string& Insert = Plan.Insert;
    Insert.clear();

    if (!Value) {
        // Delete: the key's line with its line ending, nothing else.
        if (!Found.KeyFound) return EditResult::Unchanged;
        Plan.Offset = Found.KeyLine.Begin;
        Plan.Remove = Found.KeyLine.Next - Found.KeyLine.Begin;
        return EditResult::Changed;
    }

    if (Found.KeyFound) {
        // Set an existing key: its line becomes name=value, with its own line ending.
        if (Found.KeyEntry.HasValue && Found.KeyEntry.Value == NewValue &&
            Content.substr(Found.KeyLine.Begin, Found.KeyLine.End - Found.KeyLine.Begin)
                    .find('\0') == std::string_view::npos) {
            return EditResult::Unchanged;
        }
        Plan.Offset = Found.KeyLine.Begin;
        Plan.Remove = Found.KeyLine.End - Found.KeyLine.Begin;
        Insert.append(Found.KeyEntry.Name);
        Insert.push_back('=');
        Insert.append(NewValue);
        return EditResult::Changed;
    }

    Plan.Remove = 0;
    if (Found.SectionFound) {
        // A new key: one line right after the last non-blank line of the section.
        const Line& Last = Found.LastLineOfSection;
        Plan.Offset = Last.Next;
        if (Last.Next == Last.End) Insert.append(Ending);
        Insert.append(Key);
        Insert.push_back('=');
        Insert.append(NewValue);
        // A lone CR written right before an LF of the file would join it into one CR LF: the
        // new line would seem to own that LF, and deleting the line would take it along.
        bool JoinsLf = Ending == "\r" && Last.Next < Content.size() && Content[Last.Next] == '\n';
        Insert.append(JoinsLf ? std::string_view("\r\n") : Ending);
        return EditResult::Changed;
    }

    // A new section at the end of the file, after a line ending for a last line that lacks one.
    size_t Start = HasUtf8Bom(Content) ? 3 : 0;
    Plan.Offset = Content.size();
    if (Content.size() > Start && !IsLineEnd(Content.back())) Insert.append(Ending);
    Insert.push_back('[');
    Insert.append(Section);
    Insert.push_back(']');
    Insert.append(Ending);
    Insert.append(Key);
    Insert.push_back('=');
    Insert.append(NewValue);
    Insert.append(Ending);
    return EditResult::Changed;
}

EditResult Edit(std::string_view Content, std::string_view Section, std::string_view Key,
                const char* Value, std::string& Out)
{
    EditPlan Plan;
    EditResult Result = PlanEdit(Content, Section, Key, Value, Plan);
    if (Result != EditResult::Changed) return Result;
    Out.clear();
    Out.reserve(Content.size() - Plan.Remove + Plan.Insert.size());
    Out.append(Content.substr(0, Plan.Offset));
    Out.append(Plan.Insert);
    Out.append(Content.substr(Plan.Offset + Plan.Remove));
    return EditResult::Changed;
}

}  // namespace profile
