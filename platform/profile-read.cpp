// The read rules on bytes in memory: lines, headers, entries, names, and what a read gives.
#include <algorithm>
#include <cstring>

#include "platform/profile-rules.h"

namespace profile {
namespace {

const ByteRule kSingleByte{};
const ByteRule* Rule = &kSingleByte;
ByteRule Chosen;

ByteRule MakeCodePage932()
{
    ByteRule Result;
    for (int Byte = 0; Byte < 256; Byte++) {
        Result.Lead[Byte] = (Byte >= 0x81 && Byte <= 0x9F) || (Byte >= 0xE0 && Byte <= 0xFC);
        Result.Trail[Byte] = Byte >= 0x40 && Byte <= 0xFC;
    }
    return Result;
}

unsigned char At(std::string_view Text, size_t Index)
{
    return (unsigned char)Text[Index];
}

// 2 for a lead byte followed by a second byte, 1 for any other byte. A lead byte before a line
// end, a blank or the end of the text stands alone.
size_t CharWidth(std::string_view Text, size_t Index)
{
    bool Pair = Rule->Lead[At(Text, Index)] && Index + 1 < Text.size() &&
                Rule->Trail[At(Text, Index + 1)];
    return Pair ? 2 : 1;
}

// The first Byte of the text that is a character of its own, not the second half of one.
size_t FindChar(std::string_view Text, char Byte)
{
    if (!Rule->Trail[(unsigned char)Byte]) return Text.find(Byte);
    for (size_t Index = 0; Index < Text.size(); Index += CharWidth(Text, Index)) {
        if (Text[Index] == Byte) return Index;
    }
    return std::string_view::npos;
}

// The last Byte of the text that is a character of its own.
size_t FindLastChar(std::string_view Text, char Byte)
{
    if (!Rule->Trail[(unsigned char)Byte]) return Text.rfind(Byte);
    size_t Found = std::string_view::npos;
    for (size_t Index = 0; Index < Text.size(); Index += CharWidth(Text, Index)) {
        if (Text[Index] == Byte) Found = Index;
    }
    return Found;
}

char FoldAscii(char Byte)
{
    return (Byte >= 'A' && Byte <= 'Z') ? (char)(Byte + 0x20) : Byte;
}

bool IsLineEnd(char Byte)
{
    return Byte == '\r' || Byte == '\n';
}

// Moves the scanner to the next line that may be a section header: its '[' is the first
// non-blank byte of the line, so only the '[' bytes of the content need a look. Answers false
// at the end of the content. (A lookup in a 10 MB file whose [Notes] is its middle third: 4.5 ms,
// against 5.9 ms reading every line on the way; a registration 1.08 times the floor, not 1.48.)
bool SkipToHeader(std::string_view Content, size_t Start, LineScanner& Scanner)
{
    size_t Position = Scanner.Position();
    while (Position < Content.size()) {
        size_t Bracket = Content.find('[', Position);
        if (Bracket == std::string_view::npos) break;
        size_t LineStart = Bracket;
        while (LineStart > Start && IsBlank(At(Content, LineStart - 1)) &&
               !IsLineEnd(Content[LineStart - 1])) {
            LineStart--;
        }
        if (LineStart == Start || IsLineEnd(Content[LineStart - 1])) {
            Scanner.Seek(LineStart);
            return true;
        }
        Position = Bracket + 1;
    }
    Scanner.Seek(Content.size());
    return false;
}

}  // namespace

const ByteRule& CodePage932()
{
    static const ByteRule Table = MakeCodePage932();
    return Table;
}

const ByteRule& CurrentByteRule()
{
    return *Rule;
}

void SetByteRule(const ByteRule& NewRule)
{
    Chosen = NewRule;
    Rule = &Chosen;
}

Line LineScanner::Next()
{
    Line Result;
    Result.Begin = Position_;
    size_t Cr = Find('\r', NextCr_);
    size_t Lf = Find('\n', NextLf_);
    size_t Size = Content_.size();
    if (Cr < Lf) {
        Result.End = Cr;
        Result.Next = (Cr + 1 == Lf && Lf < Size) ? Lf + 1 : Cr + 1;
    } else {
        Result.End = Lf;
        Result.Next = Lf < Size ? Lf + 1 : Size;
    }
    Position_ = Result.Next;
    return Result;
}

// The first position of Byte at or after the current position, or the content's size.
size_t LineScanner::Find(char Byte, size_t& Cached)
{
    if (Cached == kUnknown || Cached < Position_) {
        const void* Hit = memchr(Content_.data() + Position_, Byte, Content_.size() - Position_);
        Cached = Hit ? (size_t)((const char*)Hit - Content_.data()) : Content_.size();
    }
    return Cached;
}

// Blanks are trimmed from both ends of every line, name and value.
bool IsBlank(unsigned char Byte)
{
    return (Byte >= 0x09 && Byte <= 0x0D) || Byte == 0x1A || Byte == 0x20;
}

std::string_view Trim(std::string_view Text)
{
    size_t Begin = 0;
    size_t End = Text.size();
    while (Begin < End && IsBlank(At(Text, Begin))) Begin++;
    while (End > Begin && IsBlank(At(Text, End - 1))) End--;
    return Text.substr(Begin, End - Begin);
}

size_t ContentStart(std::string_view Content)
{
    return Content.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
}

bool IsUtf16(std::string_view Content)
{
    return Content.substr(0, 2) == "\xFF\xFE" || Content.substr(0, 2) == "\xFE\xFF";
}

std::string_view SeenPart(std::string_view Content, const Line& Current)
{
    std::string_view Seen = Trim(Content.substr(Current.Begin, Current.End - Current.Begin));
    // A line that starts with a NUL and has no '=' holds neither a name nor a value: blank.
    bool Nothing = !Seen.empty() && Seen[0] == '\0' && Seen.find('=') == std::string_view::npos;
    return Nothing ? std::string_view() : Seen;
}

std::string_view UpToNul(std::string_view Text)
{
    return Text.substr(0, Text.find('\0'));
}

bool ParseHeader(std::string_view Seen, std::string_view& Name)
{
    if (Seen.empty() || Seen[0] != '[') return false;
    size_t Close = FindLastChar(Seen, ']');
    if (Close == std::string_view::npos || Close == 0) return false;
    Name = UpToNul(Trim(Seen.substr(1, Close - 1)));
    return true;
}

Entry ParseEntry(std::string_view Seen)
{
    size_t Equals = FindChar(Seen, '=');
    if (Equals == std::string_view::npos) return Entry{UpToNul(Seen), {}, false};
    return Entry{NameOf(Seen), UpToNul(Trim(Seen.substr(Equals + 1))), true};
}

std::string_view NameOf(std::string_view Seen)
{
    return UpToNul(Trim(Seen.substr(0, FindChar(Seen, '='))));
}

bool SameName(std::string_view A, std::string_view B)
{
    if (A.size() != B.size()) return false;
    for (size_t Index = 0; Index < A.size();) {
        size_t Width = CharWidth(A, Index);
        if (Width == 2) {
            if (A.substr(Index, 2) != B.substr(Index, 2)) return false;
        } else if (FoldAscii(A[Index]) != FoldAscii(B[Index])) {
            return false;
        }
        Index += Width;
    }
    return true;
}

// Sets the 0x20 bit of each byte of a word that is an ASCII capital: FoldAscii on eight bytes.
uint64_t FoldWord(uint64_t Word)
{
    uint64_t Low7 = Word & 0x7F7F7F7F7F7F7F7Full;
    uint64_t FromA = Low7 + 0x3F3F3F3F3F3F3F3Full;  // bit 7 set where the byte is 'A' or above
    uint64_t PastZ = Low7 + 0x2525252525252525ull;  // bit 7 set where the byte is past 'Z'
    return Word | ((FromA & ~PastZ & ~Word & 0x8080808080808080ull) >> 2);
}

// Every byte is folded, the second bytes of pairs too: names that match still hash alike, and a
// pair that folds into another is told apart by SameName. Eight bytes at a time: a byte at a
// time, hashing took a sixth of a registration's instructions (2 MB file: 3.7 of 22 million).
uint32_t HashName(std::string_view Name)
{
    uint64_t Hash = 0x9E3779B97F4A7C15ull ^ Name.size();
    for (size_t Index = 0; Index < Name.size(); Index += 8) {
        uint64_t Word = 0;
        if (Index + 8 <= Name.size()) {
            memcpy(&Word, Name.data() + Index, 8);
        } else {
            for (size_t Byte = Index; Byte < Name.size(); Byte++) {
                Word |= (uint64_t)(unsigned char)Name[Byte] << (8 * (Byte - Index));
            }
        }
        Hash = (Hash ^ FoldWord(Word)) * 0xFF51AFD7ED558CCDull;
        Hash ^= Hash >> 29;
    }
    return (uint32_t)(Hash ^ (Hash >> 32));
}

bool FindSection(std::string_view Content, std::string_view Section, LineScanner& Scanner,
                 Line& Header)
{
    size_t Start = ContentStart(Content);
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
    LineScanner Scanner(Content, ContentStart(Content));
    Result.SectionFound = FindSection(Content, Section, Scanner, Result.LastLineOfSection);
    // Its lines, up to the next header.
    while (Result.SectionFound && !Scanner.AtEnd()) {
        Line Current = Scanner.Next();
        std::string_view Seen = SeenPart(Content, Current);
        std::string_view Header;
        if (Seen.empty()) continue;
        if (ParseHeader(Seen, Header)) break;
        Result.LastLineOfSection = Current;
        if (TakeKey(Content, Current, Key, Result)) break;
    }
    return Result;
}

bool TakeKey(std::string_view Content, const Line& Current, std::string_view Key, Location& Found)
{
    Entry Parsed = ParseEntry(SeenPart(Content, Current));
    if (!SameName(Parsed.Name, Key)) return false;
    Found.KeyFound = true;
    Found.KeyLine = Current;
    Found.KeyEntry = Parsed;
    return true;
}

std::optional<std::string_view> ValueOf(const Entry& Found)
{
    if (!Found.HasValue) return std::nullopt;
    std::string_view Value = Found.Value;
    if (Value.size() >= 2 && (Value[0] == '"' || Value[0] == '\'') && Value.back() == Value[0]) {
        Value = Value.substr(1, Value.size() - 2);
    }
    return Value;
}

size_t CopyResult(std::optional<std::string_view> Value, const char* Default, char* Buffer,
                  size_t Size)
{
    if (Size == 0) return 0;
    std::string_view Text = Value ? *Value : std::string_view(Default ? Default : "");
    if (Text.size() < Size) {
        memcpy(Buffer, Text.data(), Text.size());
        Buffer[Text.size()] = '\0';
        return Text.size();
    }
    // Windows converts the result to the code page into Size - 1 bytes, which never holds half
    // a character: the copy stops before a double-byte character that would not fit.
    size_t Whole = 0;
    while (Whole < Size - 1 && Whole + CharWidth(Text, Whole) <= Size - 1) {
        Whole += CharWidth(Text, Whole);
    }
    memcpy(Buffer, Text.data(), Whole);
    memset(Buffer + Whole, 0, Size - Whole);
    return Size - 1;
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
    return CopyResult(FindValue(Content, Section, Key), Default, Buffer, Size);
}

}  // namespace profile
