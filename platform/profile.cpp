#include "platform/profile.h"

#include <cstring>

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

Location Locate(std::string_view Content, std::string_view Section, std::string_view Key)
{
    Location Result;
    size_t Start = HasUtf8Bom(Content) ? 3 : 0;
    LineScanner Scanner(Content, Start);

    // Find the first header of that name; everything before it is passed over.
    while (SkipToHeader(Content, Start, Scanner)) {
        Line Current = Scanner.Next();
        std::string_view Name;
        if (ParseHeader(SeenPart(Content, Current), Name) && SameName(Name, Section)) {
            Result.SectionFound = true;
            Result.LastLineOfSection = Current;
            break;
        }
    }
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

// A name's hash, without regard to the case of A-Z, as names match.
uint32_t HashName(std::string_view Name)
{
    uint32_t Hash = 2166136261u;
    for (char Byte : Name) {
        Hash ^= (unsigned char)FoldAscii(Byte);
        Hash *= 16777619u;
    }
    return Hash;
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
    while (SkipToHeader(Content, Start, Scanner)) {
        Line Current = Scanner.Next();
        std::string_view Name;
        if (ParseHeader(SeenPart(Content, Current), Name) && SameName(Name, Section)) {
            Found_ = true;
            break;
        }
    }
    if (!Found_) return;
    Begin_ = Scanner.Position();
    End_ = Content.size();

    // Each name's first line, in an open-addressing table kept at most half full. A later line
    // of a name already there is never seen by a read, so it is not entered.
    size_t Count = 0;
    Table_.assign(64, 0);
    while (!Scanner.AtEnd()) {
        Line Current = Scanner.Next();
        std::string_view Seen = SeenPart(Content, Current);
        if (Seen.empty()) continue;
        std::string_view Header;
        if (ParseHeader(Seen, Header)) {
            End_ = Current.Begin;
            break;
        }
        uint64_t Offset = Current.Begin - Begin_ + 1;
        if (Offset > UINT32_MAX) {
            // A section this large keeps to plain scans.
            Indexed_ = false;
            Table_.clear();
            return;
        }
        if (2 * (Count + 1) > Table_.size()) {
            std::vector<uint64_t> Old(Table_.size() * 2, 0);
            Old.swap(Table_);
            size_t Mask = Table_.size() - 1;
            for (uint64_t Item : Old) {
                if (!Item) continue;
                size_t Slot = HomeSlot((uint32_t)(Item >> 32), Mask);
                while (Table_[Slot]) Slot = (Slot + 1) & Mask;
                Table_[Slot] = Item;
            }
        }
        uint32_t Hash = HashName(ParseEntry(Seen).Name);
        size_t Mask = Table_.size() - 1;
        size_t Slot = HomeSlot(Hash, Mask);
        while (Table_[Slot] && (uint32_t)(Table_[Slot] >> 32) != Hash) Slot = (Slot + 1) & Mask;
        if (!Table_[Slot]) {
            Table_[Slot] = ((uint64_t)Hash << 32) | Offset;
            Count++;
        }
    }
}

std::optional<std::string_view> SectionIndex::FindValue(std::string_view Key) const
{
    if (!Indexed_) return profile::FindValue(Content_, Section_, Key);
    if (!Found_) return std::nullopt;
    uint32_t Hash = HashName(Key);
    size_t Mask = Table_.size() - 1;
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

size_t SectionIndex::ReadString(std::string_view Key, const char* Default, char* Buffer,
                                size_t Size) const
{
    if (Size == 0) return 0;
    return CopyResult(FindValue(Key), Default, Buffer, Size);
}

EditResult Edit(std::string_view Content, std::string_view Section, std::string_view Key,
                const char* Value, std::string& Out)
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

    if (!Value) {
        // Delete: the key's line with its line ending, nothing else.
        if (!Found.KeyFound) return EditResult::Unchanged;
        Out.clear();
        Out.reserve(Content.size());
        Out.append(Content.substr(0, Found.KeyLine.Begin));
        Out.append(Content.substr(Found.KeyLine.Next));
        return EditResult::Changed;
    }

    if (Found.KeyFound) {
        // Set an existing key: its line becomes name=value, with its own line ending.
        if (Found.KeyEntry.HasValue && Found.KeyEntry.Value == NewValue &&
            Content.substr(Found.KeyLine.Begin, Found.KeyLine.End - Found.KeyLine.Begin)
                    .find('\0') == std::string_view::npos) {
            return EditResult::Unchanged;
        }
        Out.clear();
        Out.reserve(Content.size() + NewValue.size() + Key.size() + 2);
        Out.append(Content.substr(0, Found.KeyLine.Begin));
        Out.append(Found.KeyEntry.Name);
        Out.push_back('=');
        Out.append(NewValue);
        Out.append(Content.substr(Found.KeyLine.End));
        return EditResult::Changed;
    }

    Out.clear();
    Out.reserve(Content.size() + Section.size() + Key.size() + NewValue.size() + 8);
    if (Found.SectionFound) {
        // A new key: one line right after the last non-blank line of the section.
        const Line& Last = Found.LastLineOfSection;
        Out.append(Content.substr(0, Last.Next));
        if (Last.Next == Last.End) Out.append(Ending);
        Out.append(Key);
        Out.push_back('=');
        Out.append(NewValue);
        Out.append(Ending);
        Out.append(Content.substr(Last.Next));
        return EditResult::Changed;
    }

    // A new section at the end of the file, after a line ending for a last line that lacks one.
    size_t Start = HasUtf8Bom(Content) ? 3 : 0;
    Out.append(Content);
    if (Content.size() > Start && !IsLineEnd(Content.back())) Out.append(Ending);
    Out.push_back('[');
    Out.append(Section);
    Out.push_back(']');
    Out.append(Ending);
    Out.append(Key);
    Out.push_back('=');
    Out.append(NewValue);
    Out.append(Ending);
    return EditResult::Changed;
}

}  // namespace profile
