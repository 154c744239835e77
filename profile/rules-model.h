// An independent model of the profile engine's read rules, written out plainly line by line, for
// the fuzz target and the section lookup's tests to check the engine against: first matching
// section (any matching section for a delete), first matching key, trimming, a NUL ends a name
// or a value, one pair of quotes removed, and code page 932 pairs when CodePage is 932.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "profile/rules.h"

namespace model {

using std::string_view;

// True when Text[Index] is the second byte of a double-byte character: counted from the start.
inline bool IsSecondByte(string_view Text, size_t Index, unsigned CodePage)
{
    bool Second = false;
    for (size_t At = 0; At < Index; At++) {
        unsigned char Byte = (unsigned char)Text[At];
        unsigned char After = At + 1 < Text.size() ? (unsigned char)Text[At + 1] : 0;
        bool Lead = (Byte >= 0x81 && Byte <= 0x9F) || (Byte >= 0xE0 && Byte <= 0xFC);
        Second = CodePage == 932 && !Second && Lead && After >= 0x40 && After <= 0xFC;
    }
    return Second;
}

inline bool IsBlank(unsigned char Byte)
{
    return (Byte >= 0x09 && Byte <= 0x0D) || Byte == 0x1A || Byte == 0x20;
}

inline string_view Trim(string_view Text)
{
    while (!Text.empty() && IsBlank((unsigned char)Text.front())) Text.remove_prefix(1);
    while (!Text.empty() && IsBlank((unsigned char)Text.back())) Text.remove_suffix(1);
    return Text;
}

// A NUL ends a name or a value, as it ends a C string; it does not end the line.
inline string_view CString(string_view Text)
{
    return Text.substr(0, Text.find('\0'));
}

inline bool SameName(string_view A, string_view B, unsigned CodePage)
{
    if (A.size() != B.size()) return false;
    for (size_t Index = 0; Index < A.size(); Index++) {
        char X = A[Index];
        char Y = B[Index];
        bool Fold = !IsSecondByte(A, Index, CodePage);
        if (Fold && X >= 'A' && X <= 'Z') X = (char)(X + 32);
        if (Fold && Y >= 'A' && Y <= 'Z') Y = (char)(Y + 32);
        if (X != Y) return false;
    }
    return true;
}

struct ModelLine {
    string_view Seen;   // trimmed; blank when it starts with a NUL and has no '='
    bool HasEnding;     // followed by CR, LF or CR LF
};

inline std::vector<ModelLine> Lines(string_view Content)
{
    std::vector<ModelLine> Result;
    if (Content.substr(0, 3) == "\xEF\xBB\xBF") Content.remove_prefix(3);
    while (!Content.empty()) {
        size_t End = Content.find_first_of("\r\n");
        string_view Seen = Trim(Content.substr(0, End));
        if (!Seen.empty() && Seen[0] == '\0' && Seen.find('=') == string_view::npos) Seen = {};
        Result.push_back({Seen, End != string_view::npos});
        if (End == string_view::npos) break;
        size_t Next = End + 1;
        if (Content[End] == '\r' && Next < Content.size() && Content[Next] == '\n') Next++;
        Content.remove_prefix(Next);
    }
    return Result;
}

inline bool Header(string_view Seen, string_view& Name, unsigned CodePage)
{
    if (Seen.empty() || Seen[0] != '[') return false;
    size_t Close = Seen.rfind(']');
    while (Close != string_view::npos && Close > 0 && IsSecondByte(Seen, Close, CodePage)) {
        Close = Seen.rfind(']', Close - 1);
    }
    if (Close == string_view::npos || Close == 0) return false;
    Name = CString(Trim(Seen.substr(1, Close - 1)));
    return true;
}

inline void Entry(string_view Seen, string_view& Name, std::optional<string_view>& Value)
{
    size_t Equals = Seen.find('=');
    if (Equals == string_view::npos) {
        Name = CString(Seen);
        Value.reset();
    } else {
        Name = CString(Trim(Seen.substr(0, Equals)));
        Value = CString(Trim(Seen.substr(Equals + 1)));
    }
}

inline string_view Unquote(string_view Value)
{
    if (Value.size() >= 2 && (Value[0] == '"' || Value[0] == '\'') && Value.back() == Value[0]) {
        return Value.substr(1, Value.size() - 2);
    }
    return Value;
}

struct ModelResult {
    bool SectionFound = false;
    bool KeyPresent = false;              // a line of that name, with or without '='
    std::optional<string_view> Read;      // what a read gives
    bool LastLineHasEnding = false;       // of the section's last non-blank line
    bool KeyInAnySection = false;         // a line of that name in any section of that name
};

// The first section of that name decides reads; a delete also looks in the later ones.
inline ModelResult Model(string_view Content, string_view Section, string_view Key,
                         unsigned CodePage)
{
    ModelResult Result;
    if (profile::IsUtf16(Content)) return Result;
    int Seen = 0;  // sections of that name so far
    bool Inside = false;
    for (const ModelLine& Line : Lines(Content)) {
        if (Line.Seen.empty()) continue;
        string_view Name;
        if (Header(Line.Seen, Name, CodePage)) {
            Inside = SameName(Name, Section, CodePage);
            if (Inside && ++Seen == 1) {
                Result.SectionFound = true;
                Result.LastLineHasEnding = Line.HasEnding;
            }
            continue;
        }
        if (!Inside) continue;
        if (Seen == 1) Result.LastLineHasEnding = Line.HasEnding;
        std::optional<string_view> Value;
        Entry(Line.Seen, Name, Value);
        if (!SameName(Name, Key, CodePage)) continue;
        Result.KeyInAnySection = true;
        if (Seen == 1 && !Result.KeyPresent) {
            Result.KeyPresent = true;
            if (Value) Result.Read = Unquote(*Value);
        }
    }
    return Result;
}

// profile::ReadsAsWritten as it was first written, which the one-pass check must agree with: for
// each header of the old content, a lookup of that section in each content, and each key line
// compared through them. Time grows with the sections times the file's size.
inline bool PerSectionReadsAsWritten(string_view Before, string_view After, const char* Section,
                                     const char* Key, const char* Value, unsigned CodePage)
{
    using namespace profile;
    auto EndsInBlank = [](string_view Name) {
        return !Name.empty() && profile::Trim(Name.substr(Name.size() - 1)).empty();
    };
    std::string Written = std::string("[s]\nk=") + (Value ? Value : ""), Deleted;
    std::optional<string_view> Expected;
    if (Value) {
        Expected = FindValue(Written, "s", "k", CodePage);
    } else if (Edit(Before, Section, Key, nullptr, CodePage, Deleted) == EditResult::Changed) {
        Expected = FindValue(Deleted, Section, Key, CodePage);
    }
    if (FindValue(After, Section, Key, CodePage) != Expected) return false;
    std::optional<SectionLookup> Old, New;  // the first section of the current header's name
    string_view Name;
    for (LineScanner Scanner{Before, ContentStart(Before)}; !Scanner.AtEnd();) {
        Line Current = Scanner.Next();
        string_view Seen = SeenPart(Before, Current);
        if (Seen.empty()) continue;
        if (ParseHeader(Seen, Name, CodePage)) {
            std::optional<Line> First = FindSection(Before, Name, CodePage);
            bool Read = !Name.empty() && !EndsInBlank(Name) && First &&
                        First->Begin == Current.Begin;
            Old.reset(), New.reset();
            if (Read) Old.emplace(Before, Name, CodePage), New.emplace(After, Name, CodePage);
            continue;
        }
        profile::Entry Item = ParseEntry(Seen, CodePage);
        if (!Old || Item.Name.empty() || EndsInBlank(Item.Name) || EndsInBlank(Item.Value) ||
            (profile::SameName(Name, profile::Trim(Section), CodePage) &&
             profile::SameName(Item.Name, profile::Trim(Key), CodePage)))
            continue;
        if (Old->FindValue(Item.Name) != New->FindValue(Item.Name)) return false;
    }
    return true;
}

}  // namespace model
