#include "tests/differential/cases.h"

#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace diff {

namespace {

const char* const kWords[] = {"Notes", "VIEWEXP5", "viewexp5", "a", "A", "Key", "x y", "Vorkap",
                              "OutputXML", "k", "ZZ", "[a", "a]b", "#k", ";k", "'q'", "\"q\""};
// Bytes that stand between names and '=' or ']' and at the ends of lines, and are trimmed.
const char kBlanks[] = {'\t', '\v', '\f', '\x1a', ' '};
const char* const kLineEnds[] = {"\n", "\r\n", "\r", "\n\n", "\r\r\n", "\n\r", "\r\n\r\n"};

// Code page 932 pairs that converting to UTF-16 and back gives unchanged. Wine converts the
// file to Unicode when it reads it, so an unassigned pair would come back as another character;
// what Windows answers for those is not what the differential test checks.
bool RoundTrips(const std::string& Bytes)
{
    static iconv_t ToWide = iconv_open("UTF-16LE", "CP932");
    static iconv_t FromWide = iconv_open("CP932", "UTF-16LE");
    if (ToWide == (iconv_t)-1 || FromWide == (iconv_t)-1) return false;
    char Wide[8], Back[8];
    char* In = const_cast<char*>(Bytes.data());
    char* Out = Wide;
    size_t InLeft = Bytes.size(), OutLeft = sizeof Wide;
    if (iconv(ToWide, &In, &InLeft, &Out, &OutLeft) == (size_t)-1 || InLeft != 0) return false;
    size_t WideSize = sizeof Wide - OutLeft;
    In = Wide, InLeft = WideSize, Out = Back, OutLeft = sizeof Back;
    if (iconv(FromWide, &In, &InLeft, &Out, &OutLeft) == (size_t)-1 || InLeft != 0) return false;
    return std::string(Back, sizeof Back - OutLeft) == Bytes;
}

std::string Hex(const std::string& Bytes)
{
    std::string Text;
    char Digits[3];
    for (unsigned char Byte : Bytes) {
        snprintf(Digits, sizeof Digits, "%02x", Byte);
        Text += Digits;
    }
    return Text.empty() ? "-" : Text;
}

// Every way of dropping a run of items from Items, halving the run length down to one item.
template <typename Container, typename Apply>
void ForEachCut(const Container& Items, Apply Cut)
{
    for (size_t Length = std::max<size_t>(1, Items.size() / 2); ; Length /= 2) {
        for (size_t Start = 0; Start + Length <= Items.size(); Start += Length) Cut(Start, Length);
        if (Length == 1) break;
    }
}

// The file as lines, each with the run of CR and LF that ends it.
std::vector<std::string> Lines(const std::string& File)
{
    std::vector<std::string> Result;
    for (size_t Start = 0; Start < File.size();) {
        size_t End = File.find_first_of("\r\n", Start);
        if (End != std::string::npos) End = File.find_first_not_of("\r\n", End);
        if (End == std::string::npos) End = File.size();
        Result.push_back(File.substr(Start, End - Start));
        Start = End;
    }
    return Result;
}

// True when Bytes is text the generator could have made: under code page 932, every lead byte
// starts a pair that converts to Unicode and back unchanged. Reductions that cut a pair apart
// are dropped, or they would turn every disagreement into one about malformed text.
bool WellFormed(const std::string& Bytes, Charset Set)
{
    if (Set != Charset::CodePage932) return true;
    for (size_t I = 0; I < Bytes.size(); ++I) {
        unsigned char Byte = (unsigned char)Bytes[I];
        if (Byte < 0x80 || (Byte >= 0xA1 && Byte <= 0xDF)) continue;
        if (I + 1 >= Bytes.size() || !IsDoubleByte(Byte, (unsigned char)Bytes[I + 1]) ||
            !RoundTrips(Bytes.substr(I, 2)))
            return false;
        ++I;
    }
    return true;
}

// Also keeps what the generator promises of writes: their names are never empty.
bool WellFormed(const Case& One, Charset Set)
{
    if (!WellFormed(One.File, Set)) return false;
    for (const Op& Each : One.Ops)
        if ((Each.Kind != 'R' && (Each.Section.empty() || Each.Key.empty())) ||
            !WellFormed(Each.Section, Set) || !WellFormed(Each.Key, Set) ||
            !WellFormed(Each.Value, Set))
            return false;
    return true;
}

}  // namespace

bool IsDoubleByte(unsigned char Lead, unsigned char Trail)
{
    bool LeadByte = (Lead >= 0x81 && Lead <= 0x9F) || (Lead >= 0xE0 && Lead <= 0xFC);
    return LeadByte && Trail >= 0x40 && Trail <= 0xFC && Trail != 0x7F;
}

Generator::Generator(uint64_t Seed, Charset TheSet) : Random(Seed), Set(TheSet)
{
    // Trail bytes that stand for letters, brackets, backslash and '|' in ASCII, and a few
    // others, after lead bytes of every row group (0x81-0x9F, 0xE0-0xEF, the extension and
    // user-defined rows 0xF0-0xFC).
    const unsigned char Trails[] = {0x40, 0x41, 0x45, 0x4F, 0x5A, 0x5B, 0x5C, 0x5D, 0x61, 0x6F,
                                    0x7A, 0x7C, 0x7E, 0x80, 0x9F, 0xA0, 0xFC};
    for (int Lead = 0x81; Lead <= 0xFC; ++Lead) {
        for (unsigned char Trail : Trails) {
            std::string Pair{(char)Lead, (char)Trail};
            if (IsDoubleByte((unsigned char)Lead, Trail) && RoundTrips(Pair)) Pairs.push_back(Pair);
        }
    }
}

bool Generator::Chance(int Percent)
{
    return (int)(Random() % 100) < Percent;
}

size_t Generator::Pick(size_t Count)
{
    return (size_t)(Random() % Count);
}

// One character: mostly ASCII letters, else a byte or pair of the charset.
std::string Generator::Unit()
{
    int Kind = (int)Pick(10);
    if (Kind < 5) return std::string(1, (char)((Chance(50) ? 'a' : 'A') + Pick(26)));
    if (Kind < 6) return std::string(1, "=;#[]\"' _.,\\|"[Pick(13)]);
    if (Set == Charset::SingleByte) return std::string(1, (char)(0x80 + Pick(0x80)));
    if (Kind < 9) return Pairs[Pick(Pairs.size())];
    return std::string(1, (char)(0xA1 + Pick(0xDF - 0xA1 + 1)));  // half-width katakana
}

std::string Generator::Text(size_t MaxUnits)
{
    std::string Result;
    size_t Units = 1 + Pick(MaxUnits);
    for (size_t I = 0; I < Units; ++I) Result += Unit();
    return Result;
}

std::string Generator::Blanks()
{
    std::string Result;
    while (Chance(30)) Result.push_back(kBlanks[Pick(sizeof kBlanks)]);
    return Result;
}

std::string Generator::LineEnd()
{
    return kLineEnds[Pick(sizeof kLineEnds / sizeof kLineEnds[0])];
}

std::string Generator::Name()
{
    int Kind = (int)Pick(10);
    if (Kind < 4) return kWords[Pick(sizeof kWords / sizeof kWords[0])];
    if (Kind < 5) return "";
    return Text(4);
}

std::string Generator::Value()
{
    int Kind = (int)Pick(12);
    if (Kind < 3) return Text(6);
    if (Kind < 4) return "";
    if (Kind < 6) {
        const char* Quotes[] = {"\"", "'"};
        std::string Open = Quotes[Pick(2)], Close = Chance(80) ? Open : Quotes[Pick(2)];
        return Open + (Chance(80) ? Text(4) : "") + Close;
    }
    if (Kind < 7) return Text(2) + " " + Blanks() + Text(2);
    // Near the 255 bytes that a 256-byte buffer holds, in single bytes or in pairs that can
    // straddle the cut.
    std::string Long;
    size_t Length = 250 + Pick(12);
    bool Pairs932 = Set == Charset::CodePage932 && Chance(60);
    while (Long.size() < Length) Long += Pairs932 && Chance(50) ? Pairs[Pick(Pairs.size())] : "x";
    if (Chance(30)) {
        std::string Quote = Chance(50) ? "\"" : "'";
        Long = Quote + Long + Quote;
    }
    return Long;
}

// A name as a caller may spell it: other ASCII letter case, or a pair whose trail byte is a
// letter changed to the pair with the other letter case.
std::string Generator::Variant(const std::string& Name)
{
    std::string Result = Name;
    for (size_t I = 0; I < Result.size(); ++I) {
        unsigned char Byte = (unsigned char)Result[I];
        bool Pair = Set == Charset::CodePage932 && I + 1 < Result.size() &&
                    IsDoubleByte(Byte, (unsigned char)Result[I + 1]);
        size_t At = Pair ? I + 1 : I;
        unsigned char Target = (unsigned char)Result[At];
        if (((Target >= 'A' && Target <= 'Z') || (Target >= 'a' && Target <= 'z')) &&
            Chance(50)) {
            std::string Changed = Result;
            Changed[At] = (char)(Target ^ 0x20);
            if (!Pair || RoundTrips(Changed.substr(I, 2))) Result = Changed;
        }
        if (Pair) ++I;
    }
    return Result;
}

std::string Generator::Line(const std::vector<std::string>& Sections,
                            const std::vector<std::string>& Keys)
{
    std::string Section = Sections[Pick(Sections.size())], Key = Keys[Pick(Keys.size())];
    int Kind = (int)Pick(20);
    std::string Line;
    if (Kind < 4) {
        Line = Blanks() + "[" + Blanks() + Section + Blanks() + "]";
        if (Chance(20)) Line += Blanks() + Text(3);
    } else if (Kind < 5) {
        Line = "[" + Section;  // no ']': an ordinary line
    } else if (Kind < 15) {
        Line = Blanks() + Key + Blanks() + "=" + Blanks() + Value() + Blanks();
    } else if (Kind < 16) {
        Line = Key;  // no '='
    } else if (Kind < 18) {
        Line = std::string(Chance(50) ? ";" : "#") + Key + "=" + Value();
    } else {
        Line = Blanks();
    }
    if (Chance(3)) {
        // A NUL anywhere but inside a pair.
        std::string WithNul = Line;
        WithNul.insert(Pick(Line.size() + 1), 1, '\0');
        if (WellFormed(WithNul, Set)) Line = WithNul;
    }
    return Line;
}

Op Generator::Operation(const std::vector<std::string>& Sections,
                        const std::vector<std::string>& Keys)
{
    Op Result;
    int Kind = (int)Pick(10);
    Result.Kind = Kind < 6 ? 'R' : Kind < 9 ? 'S' : 'D';
    Result.Section = Chance(90) ? Sections[Pick(Sections.size())] : Name();
    Result.Key = Chance(85) ? Keys[Pick(Keys.size())] : Name();
    if (Result.Kind == 'R') {
        if (Chance(40)) Result.Section = Variant(Result.Section);
        if (Chance(40)) Result.Key = Variant(Result.Key);
        return Result;
    }
    // Writes name what a program would: no empty name, no line break, NUL or '=' in the key,
    // no ']' in the section, no blanks at the ends. The value never holds a line break or NUL.
    auto Unwritable = [](const std::string& Name, const char* Forbidden) {
        if (Name.empty() || Name.find_first_of(Forbidden) != std::string::npos) return true;
        return std::find(kBlanks, kBlanks + sizeof kBlanks, Name.front()) != kBlanks + sizeof kBlanks ||
               std::find(kBlanks, kBlanks + sizeof kBlanks, Name.back()) != kBlanks + sizeof kBlanks;
    };
    if (Unwritable(Result.Section, "]\r\n") || Result.Section[0] == '[') Result.Section = "New";
    if (Unwritable(Result.Key, "=\r\n") || Result.Key[0] == '[') Result.Key = "NewKey";
    if (Result.Kind == 'S') {
        Result.Value = Value();
        Result.Value.erase(std::remove_if(Result.Value.begin(), Result.Value.end(),
                                          [](char C) { return C == '\r' || C == '\n'; }),
                           Result.Value.end());
    }
    return Result;
}

Case Generator::Next()
{
    std::vector<std::string> Sections, Keys;
    for (size_t I = 0, N = 1 + Pick(3); I < N; ++I) Sections.push_back(Name());
    for (size_t I = 0, N = 2 + Pick(4); I < N; ++I) Keys.push_back(Name());
    Case Result;
    if (Chance(8)) Result.File = "\xEF\xBB\xBF";
    for (size_t I = 0, N = Pick(14); I < N; ++I) {
        Result.File += Line(Sections, Keys);
        if (I + 1 < N || Chance(80)) Result.File += LineEnd();
    }
    for (size_t I = 0, N = 3 + Pick(10); I < N; ++I) {
        Result.Ops.push_back(Operation(Sections, Keys));
        // Read back what a write touched, under the name it used.
        if (Result.Ops.back().Kind != 'R') {
            Op Back = Result.Ops.back();
            Back.Kind = 'R';
            Back.Value.clear();
            Result.Ops.push_back(Back);
        }
    }
    return Result;
}

std::string BatchText(const std::vector<Case>& Cases)
{
    std::string Text;
    for (const Case& One : Cases) {
        Text += "C " + Hex(One.File) + "\n";
        for (const Op& Each : One.Ops) {
            Text += std::string(1, Each.Kind) + " " + Hex(Each.Section) + " " + Hex(Each.Key);
            if (Each.Kind == 'S') Text += " " + Hex(Each.Value);
            Text += "\n";
        }
    }
    return Text;
}

std::vector<Case> Reductions(const Case& Original, Charset Set)
{
    std::vector<Case> Smaller;
    ForEachCut(Original.Ops, [&](size_t Start, size_t Length) {
        Case One = Original;
        One.Ops.erase(One.Ops.begin() + (long)Start, One.Ops.begin() + (long)(Start + Length));
        Smaller.push_back(One);
    });
    std::vector<std::string> FileLines = Lines(Original.File);
    ForEachCut(FileLines, [&](size_t Start, size_t Length) {
        Case One = Original;
        One.File.clear();
        for (size_t I = 0; I < FileLines.size(); ++I)
            if (I < Start || I >= Start + Length) One.File += FileLines[I];
        Smaller.push_back(One);
    });
    ForEachCut(Original.File, [&](size_t Start, size_t Length) {
        Case One = Original;
        One.File.erase(Start, Length);
        Smaller.push_back(One);
    });
    for (size_t I = 0; I < Original.Ops.size(); ++I) {
        for (std::string Op::*Field : {&Op::Section, &Op::Key, &Op::Value}) {
            ForEachCut(Original.Ops[I].*Field, [&](size_t Start, size_t Length) {
                Case One = Original;
                (One.Ops[I].*Field).erase(Start, Length);
                Smaller.push_back(One);
            });
        }
    }
    Smaller.erase(std::remove_if(Smaller.begin(), Smaller.end(),
                                 [Set](const Case& One) { return !WellFormed(One, Set); }),
                  Smaller.end());
    return Smaller;
}

std::string Quoted(const std::string& Bytes)
{
    std::string Text = "\"";
    char Escape[8];
    bool AfterEscape = false;
    for (unsigned char Byte : Bytes) {
        if (Byte < 0x20 || Byte >= 0x7F) {
            snprintf(Escape, sizeof Escape, "\\x%02X", Byte);
            Text += Escape;
            AfterEscape = true;
            continue;
        }
        // A hex digit right after an escape would extend it: close the literal and reopen it.
        if (AfterEscape && isxdigit(Byte)) Text += "\"\"";
        if (Byte == '"' || Byte == '\\') Text += '\\';
        Text += (char)Byte;
        AfterEscape = false;
    }
    return Text + "\"";
}

}  // namespace diff
