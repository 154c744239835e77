// The read rules on bytes in memory: lines, headers, entries, names, and what a read gives.
#include <algorithm>
#include <cstring>

#include "profile/rules.h"

namespace profile {
namespace {

// 2 for a lead byte followed by a second byte (0x40-0xFC), 1 for any other byte. A lead byte
// followed by anything else (a line end, a blank, an ASCII digit) or by nothing stands alone.
size_t CharWidth(std::string_view Text, size_t Index, unsigned CodePage)
{
    if (CodePage != 932 || !IsCodePage932Lead(Text[Index]) || Index + 1 == Text.size()) {
        return 1;
    }
    unsigned char Second = Text[Index + 1];
    return Second >= 0x40 && Second <= 0xFC ? 2 : 1;
}

// The first (or the last) Byte of the text that is a character of its own, not the second half
// of one.
size_t FindChar(std::string_view Text, char Byte, unsigned CodePage, bool Last = false)
{
    if (CodePage != 932 || Byte < 0x40) return Last ? Text.rfind(Byte) : Text.find(Byte);
    size_t Found = std::string_view::npos;
    for (size_t Index = 0; Index < Text.size(); Index += CharWidth(Text, Index, CodePage)) {
        if (Text[Index] != Byte) continue;
        Found = Index;
        if (!Last) break;
    }
    return Found;
}

char FoldAscii(char Byte) { return (Byte >= 'A' && Byte <= 'Z') ? (char)(Byte + 0x20) : Byte; }
bool IsLineEnd(char Byte) { return Byte == '\r' || Byte == '\n'; }
// Blanks are trimmed from both ends of every line, name and value.
bool IsBlank(char Byte) { return (Byte >= 0x09 && Byte <= 0x0D) || Byte == 0x1A || Byte == 0x20; }
// Text up to its first NUL.
std::string_view UpToNul(std::string_view Text) { return Text.substr(0, Text.find('\0')); }

// Where the next line that may be a section header starts, at or after Begin, the start of a
// line: a header's '[' is the first non-blank byte of its line, so only the '[' bytes need a
// look.
size_t NextHeaderLine(std::string_view Content, size_t Begin)
{
    for (size_t Bracket = Content.find('[', Begin); Bracket != std::string_view::npos;
         Bracket = Content.find('[', Bracket + 1)) {
        size_t LineStart = Bracket;
        while (LineStart > Begin && IsBlank(Content[LineStart - 1]) &&
               !IsLineEnd(Content[LineStart - 1])) {
            LineStart--;
        }
        if (LineStart == Begin || IsLineEnd(Content[LineStart - 1])) return LineStart;
    }
    return Content.size();
}

}  // namespace

bool IsCodePage932Lead(unsigned char Byte)
{
    return (Byte >= 0x81 && Byte <= 0x9F) || (Byte >= 0xE0 && Byte <= 0xFC);
}

Line LineScanner::Next()
{
    auto Find = [this](char Byte, size_t& Cached) {
        if (Cached == SIZE_MAX || Cached < Position) {
            const void* Hit = memchr(Content.data() + Position, Byte, Content.size() - Position);
            Cached = Hit ? (size_t)((const char*)Hit - Content.data()) : Content.size();
        }
        return Cached;
    };
    size_t Begin = Position, Size = Content.size();
    size_t Cr = Find('\r', NextCr), Lf = Find('\n', NextLf), End = std::min(Cr, Lf);
    Position = (Cr + 1 == Lf && Lf < Size) ? Lf + 1 : std::min(End + 1, Size);
    return Line{Begin, End, Position};
}

std::string_view Trim(std::string_view Text)
{
    while (!Text.empty() && IsBlank(Text.front())) Text.remove_prefix(1);
    while (!Text.empty() && IsBlank(Text.back())) Text.remove_suffix(1);
    return Text;
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

bool ParseHeader(std::string_view Seen, std::string_view& Name, unsigned CodePage)
{
    if (Seen.empty() || Seen[0] != '[') return false;
    size_t Close = FindChar(Seen, ']', CodePage, true);
    if (Close == std::string_view::npos || Close == 0) return false;
    Name = UpToNul(Trim(Seen.substr(1, Close - 1)));
    return true;
}

Entry ParseEntry(std::string_view Seen, unsigned CodePage)
{
    size_t Equals = FindChar(Seen, '=', CodePage);
    if (Equals == std::string_view::npos) return Entry{UpToNul(Seen), {}, false};
    return Entry{UpToNul(Trim(Seen.substr(0, Equals))), UpToNul(Trim(Seen.substr(Equals + 1))),
                 true};
}

bool SameName(std::string_view A, std::string_view B, unsigned CodePage)
{
    if (A.size() != B.size()) return false;
    for (size_t Index = 0; Index < A.size(); Index += CharWidth(A, Index, CodePage)) {
        bool Differ = CharWidth(A, Index, CodePage) == 2 ? A.substr(Index, 2) != B.substr(Index, 2)
                                               : FoldAscii(A[Index]) != FoldAscii(B[Index]);
        if (Differ) return false;
    }
    return true;
}

// Every byte is folded, the second bytes of pairs too: names that match still hash alike, and a
// pair that folds into another is told apart by SameName.
uint32_t HashName(std::string_view Name)
{
    uint32_t Hash = 2166136261u;
    for (char Byte : Name) Hash = (Hash ^ (unsigned char)FoldAscii(Byte)) * 16777619u;
    return Hash;
}

std::optional<Line> FindSection(std::string_view Content, std::string_view Section,
                                unsigned CodePage, size_t From)
{
    LineScanner Scanner{Content, std::max(From, ContentStart(Content))};
    for (;;) {
        Scanner.Position = NextHeaderLine(Content, Scanner.Position);
        if (Scanner.AtEnd()) break;
        Line Header = Scanner.Next();
        std::string_view Name;
        if (ParseHeader(SeenPart(Content, Header), Name, CodePage) &&
            SameName(Name, Section, CodePage)) {
            return Header;
        }
    }
    return std::nullopt;
}

std::optional<std::string_view> ValueOf(const Location& Found)
{
    if (!Found.KeyFound || !Found.KeyEntry.HasValue) return std::nullopt;
    std::string_view Value = Found.KeyEntry.Value;
    if (Value.size() >= 2 && (Value[0] == '"' || Value[0] == '\'') && Value.back() == Value[0]) {
        Value = Value.substr(1, Value.size() - 2);
    }
    return Value;
}

size_t CopyResult(std::optional<std::string_view> Value, const char* Default, char* Buffer,
                  size_t Size, unsigned CodePage)
{
    if (Size == 0) return 0;
    std::string_view Text = Value ? *Value : std::string_view(Default ? Default : "");
    // Windows converts the result to the code page into Size - 1 bytes, which never holds half
    // a character: a copy that is cut stops before a double-byte character that would not fit.
    size_t Whole = 0;
    while (Whole < Text.size() && Whole + CharWidth(Text, Whole, CodePage) < Size) {
        Whole += CharWidth(Text, Whole, CodePage);
    }
    memcpy(Buffer, Text.data(), Whole);
    if (Whole == Text.size()) {
        Buffer[Whole] = '\0';
        return Whole;
    }
    memset(Buffer + Whole, 0, Size - Whole);
    return Size - 1;
}

std::optional<std::string_view> FindValue(std::string_view Content, std::string_view Section,
                                          std::string_view Key, unsigned CodePage)
{
    return SectionLookup(Content, Section, CodePage).FindValue(Key);
}

size_t ReadString(std::string_view Content, std::string_view Section, std::string_view Key,
                  const char* Default, char* Buffer, size_t Size, unsigned CodePage)
{
    return CopyResult(FindValue(Content, Section, Key, CodePage), Default, Buffer, Size,
                      CodePage);
}

}  // namespace profile
