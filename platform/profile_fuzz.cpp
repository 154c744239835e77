// libFuzzer target for the profile engine on bytes (profile.h).
//
// Input: byte 0 chooses the operation (bit 0 set: delete, else set) and the byte rule (bit 1 set:
// code page 932, where a lead byte and the byte after it are one character); the rest gives, through
// FuzzedDataProvider, the section, the key and the value (each a backslash-ended string: "\ "
// ends one, "\\" is a backslash) and then the file content, all remaining bytes.
//
// Besides the sanitizers, the target checks these properties, and aborts when one breaks:
// - reads agree with a small independent model of the read rules below (first matching section,
//   first matching key, trimming, a NUL ends a name or a value, one pair of quotes removed), and
//   the indexed lookup of a section agrees with the plain one;
// - an edit's plan, applied to the content, gives exactly the edit's result;
// - an edit is refused exactly when a name or value could not be written faithfully;
// - after a set, the key reads back as the read rules make of the value written;
// - after any edit, every other key drawn from the content reads as before;
// - a set repeated on its own result changes no byte;
// - a set of a key absent from an existing section, then a delete of it, gives back the
//   original bytes (when the section's last line has its own line end to insert after).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/profile.h"

namespace {

using std::string_view;

// The case being checked, shown when a property breaks.
struct Shown {
    const char* Name;
    const std::string* Text;
};
Shown Current[5];

void ShowEscaped(const char* Name, const std::string& Text)
{
    fprintf(stderr, "%s (%zu bytes): \"", Name, Text.size());
    for (unsigned char Byte : Text) {
        if (Byte >= 0x20 && Byte < 0x7F && Byte != '\\' && Byte != '"') {
            fputc(Byte, stderr);
        } else {
            fprintf(stderr, "\\x%02X", Byte);
        }
    }
    fprintf(stderr, "\"\n");
}

[[noreturn]] void Broken(const char* What, int Line)
{
    fprintf(stderr, "broken property: %s (line %d)\n", What, Line);
    for (const Shown& Each : Current) {
        if (Each.Text) ShowEscaped(Each.Name, *Each.Text);
    }
    abort();
}

#define CHECK(Condition, What)                  \
    do {                                        \
        if (!(Condition)) Broken(What, __LINE__); \
    } while (0)

// --- The model: the read rules written out plainly, line by line. ------------------------------

// Whether this input is read under code page 932.
bool Cp932 = false;

// True when Text[Index] is the second byte of a double-byte character: counted from the start.
bool IsSecondByte(string_view Text, size_t Index)
{
    bool Second = false;
    for (size_t At = 0; At < Index; At++) {
        unsigned char Byte = (unsigned char)Text[At];
        unsigned char After = At + 1 < Text.size() ? (unsigned char)Text[At + 1] : 0;
        bool Lead = (Byte >= 0x81 && Byte <= 0x9F) || (Byte >= 0xE0 && Byte <= 0xFC);
        Second = Cp932 && !Second && Lead && After >= 0x40 && After <= 0xFC;
    }
    return Second;
}

bool IsBlank(unsigned char Byte)
{
    return (Byte >= 0x09 && Byte <= 0x0D) || Byte == 0x1A || Byte == 0x20;
}

string_view Trim(string_view Text)
{
    while (!Text.empty() && IsBlank((unsigned char)Text.front())) Text.remove_prefix(1);
    while (!Text.empty() && IsBlank((unsigned char)Text.back())) Text.remove_suffix(1);
    return Text;
}

// A NUL ends a name or a value, as it ends a C string; it does not end the line.
string_view CString(string_view Text)
{
    return Text.substr(0, Text.find('\0'));
}

bool SameName(string_view A, string_view B)
{
    if (A.size() != B.size()) return false;
    for (size_t Index = 0; Index < A.size(); Index++) {
        char X = A[Index];
        char Y = B[Index];
        bool Fold = !IsSecondByte(A, Index);
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

std::vector<ModelLine> Lines(string_view Content)
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

bool Header(string_view Seen, string_view& Name)
{
    if (Seen.empty() || Seen[0] != '[') return false;
    size_t Close = Seen.rfind(']');
    while (Close != string_view::npos && Close > 0 && IsSecondByte(Seen, Close)) {
        Close = Seen.rfind(']', Close - 1);
    }
    if (Close == string_view::npos || Close == 0) return false;
    Name = CString(Trim(Seen.substr(1, Close - 1)));
    return true;
}

void Entry(string_view Seen, string_view& Name, std::optional<string_view>& Value)
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

string_view Unquote(string_view Value)
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
};

ModelResult Model(string_view Content, string_view Section, string_view Key)
{
    ModelResult Result;
    if (profile::IsUtf16(Content)) return Result;
    bool Inside = false;
    for (const ModelLine& Line : Lines(Content)) {
        if (Line.Seen.empty()) continue;
        string_view Name;
        if (Header(Line.Seen, Name)) {
            if (Inside) break;
            if (SameName(Name, Section)) {
                Inside = true;
                Result.SectionFound = true;
                Result.LastLineHasEnding = Line.HasEnding;
            }
            continue;
        }
        if (!Inside) continue;
        Result.LastLineHasEnding = Line.HasEnding;
        std::optional<string_view> Value;
        Entry(Line.Seen, Name, Value);
        if (!Result.KeyPresent && SameName(Name, Key)) {
            Result.KeyPresent = true;
            if (Value) Result.Read = Unquote(*Value);
        }
    }
    return Result;
}

// Pairs of section and key names found in the content: those that other edits must not touch.
std::vector<std::pair<std::string, std::string>> PairsOf(string_view Content)
{
    std::vector<std::pair<std::string, std::string>> Pairs;
    std::string Section;
    for (const ModelLine& Line : Lines(Content)) {
        if (Pairs.size() >= 48) break;
        string_view Name;
        if (Header(Line.Seen, Name)) {
            Section = std::string(Name);
            continue;
        }
        std::optional<string_view> Value;
        Entry(Line.Seen, Name, Value);
        if (!Name.empty()) Pairs.emplace_back(Section, std::string(Name));
    }
    return Pairs;
}

bool HasLineBreakOrNul(string_view Text)
{
    return Text.find_first_of(string_view("\r\n\0", 3)) != string_view::npos;
}

bool Writable(string_view Name)
{
    return !Name.empty() && !HasLineBreakOrNul(Name) && Trim(Name).size() == Name.size();
}

std::optional<string_view> Read(string_view Content, string_view Section, string_view Key)
{
    std::optional<string_view> Found = profile::FindValue(Content, Section, Key);
    std::optional<string_view> Expected = Model(Content, Section, Key).Read;
    CHECK(Found == Expected, "engine read differs from the model");
    // The indexed lookup that cached files use answers the same.
    profile::SectionLookup Index(Content, Section);
    CHECK(Index.FindValue(Key) == Found, "indexed read differs from the plain one");
    return Found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (Size < 1) return 0;
    bool Delete = Data[0] & 1;
    Cp932 = Data[0] & 2;
    profile::SetByteRule(Cp932 ? profile::CodePage932() : profile::ByteRule{});
    FuzzedDataProvider Provider(Data + 1, Size - 1);
    std::string Section = Provider.ConsumeRandomLengthString(40);
    std::string Key = Provider.ConsumeRandomLengthString(40);
    std::string Value = Provider.ConsumeRandomLengthString(300);
    std::string Content = Provider.ConsumeRemainingBytesAsString();
    // A C string ends at its first NUL: that is the value the engine is given.
    if (Value.find('\0') != std::string::npos) Value.resize(Value.find('\0'));
    const char* NewValue = Delete ? nullptr : Value.c_str();
    Current[0] = {Delete ? "delete section" : "set section", &Section};
    Current[1] = {"key", &Key};
    Current[2] = {"value", Delete ? nullptr : &Value};
    Current[3] = {"content", &Content};

    bool Valid = !profile::IsUtf16(Content) && Writable(Section) && Writable(Key) &&
                 Key.find('=') == std::string::npos && Key[0] != '[' &&
                 (Delete || !HasLineBreakOrNul(Value));
    // A section name whose last byte would pair with the header's ']' cannot be written.
    std::string HeaderLine = "[" + Section + "]";
    string_view Written;
    Valid = Valid && Header(HeaderLine, Written) && Written == Section;
    std::string Out;
    profile::EditResult Result = profile::Edit(Content, Section, Key, NewValue, Out);
    CHECK((Result == profile::EditResult::Refused) == !Valid, "refused exactly the unwritable");
    if (Result == profile::EditResult::Refused) return 0;

    // The plan of the edit, applied to the content, gives the same bytes as the edit.
    profile::EditPlan Plan;
    CHECK(profile::PlanEdit(Content, Section, Key, NewValue, Plan) == Result, "plan result");
    if (Result == profile::EditResult::Changed) {
        CHECK(Plan.Offset <= Content.size() && Plan.Remove <= Content.size() - Plan.Offset,
              "plan within the content");
        std::string Planned = Content.substr(0, Plan.Offset) + Plan.Insert +
                              Content.substr(Plan.Offset + Plan.Remove);
        CHECK(Planned == Out, "plan and edit agree");
    }

    const ModelResult Before = Model(Content, Section, Key);
    const std::string After = Result == profile::EditResult::Changed ? Out : Content;
    Current[4] = {"after", &After};

    if (Delete) {
        CHECK((Result == profile::EditResult::Changed) == Before.KeyPresent,
              "delete changes the file exactly when the key is there");
        CHECK(After.size() < Content.size() || !Before.KeyPresent, "delete removes bytes");
    } else {
        string_view Expected = Unquote(Trim(Value));
        std::optional<string_view> Got = Read(After, Section, Key);
        CHECK(Got && *Got == Expected, "a set key reads back as written");
        // Only the target line changes: whatever differs is at most one new line's worth.
        size_t Prefix = 0;
        while (Prefix < After.size() && Prefix < Content.size() &&
               After[Prefix] == Content[Prefix]) {
            Prefix++;
        }
        size_t Suffix = 0;
        while (Suffix < After.size() - Prefix && Suffix < Content.size() - Prefix &&
               After[After.size() - 1 - Suffix] == Content[Content.size() - 1 - Suffix]) {
            Suffix++;
        }
        CHECK(After.size() - Prefix - Suffix <= Section.size() + Key.size() + Value.size() + 9,
              "a set adds no more than one line and a header");

        // Setting the same value again writes the same bytes, if anything.
        std::string Again;
        profile::EditResult Second = profile::Edit(After, Section, Key, NewValue, Again);
        CHECK(Second == profile::EditResult::Unchanged ||
                  (Second == profile::EditResult::Changed && Again == After),
              "a repeated set changes nothing");

        if (Before.SectionFound && !Before.KeyPresent && Before.LastLineHasEnding) {
            std::string Back;
            profile::EditResult Undo = profile::Edit(After, Section, Key, nullptr, Back);
            CHECK(Undo == profile::EditResult::Changed && Back == Content,
                  "set then delete of a new key gives back the original bytes");
        }
    }

    // Every other key reads as before.
    std::vector<std::pair<std::string, std::string>> Pairs = PairsOf(Content);
    Pairs.emplace_back(Section, "VIEWEXP5");
    Pairs.emplace_back("Notes", Key);
    for (const auto& Pair : Pairs) {
        if (SameName(Pair.first, Section) && SameName(Pair.second, Key)) continue;
        CHECK(Read(Content, Pair.first, Pair.second) == Read(After, Pair.first, Pair.second),
              "another key reads differently after the edit");
    }
    return 0;
}
