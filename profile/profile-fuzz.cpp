// libFuzzer target for the profile engine on bytes (profile.h).
//
// Input: byte 0 chooses the operation (bit 0 set: delete, else set) and the byte rule (bit 1 set:
// code page 932, where a lead byte and the byte after it are one character); the rest gives, through
// FuzzedDataProvider, the section, the key and the value (each a backslash-ended string: "\ "
// ends one, "\\" is a backslash) and then the file content, all remaining bytes.
//
// Besides the sanitizers, the target checks these properties, and aborts when one breaks:
// - reads agree with the independent model of the read rules in rules-model.h;
// - an edit's plan, applied to the content, gives exactly the edit's result;
// - an edit is refused exactly when a name or value could not be written faithfully;
// - a set goes where a read of the same names looks (names trimmed); a delete removes a line
//   exactly when the key is in some section of that name and the names are given trimmed;
// - after a set, the key reads back as the read rules make of the value written;
// - after any edit, every other key drawn from the content reads as before;
// - the check of another writer's write answers for the edit's result as the per-section check;
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

#include "profile/profile.h"
#include "profile/rules-model.h"

namespace {

using std::string_view;
using namespace model;

// The case being checked, shown when a property breaks.
struct Shown {
    const char* Name;
    const std::string* Text;
};
Shown Current[5];
// The code page of the case: 932 or 1252.
unsigned CodePage = 1252;

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

// Pairs of section and key names found in the content: those that other edits must not touch.
std::vector<std::pair<std::string, std::string>> PairsOf(string_view Content)
{
    std::vector<std::pair<std::string, std::string>> Pairs;
    std::string Section;
    for (const ModelLine& Line : Lines(Content)) {
        if (Pairs.size() >= 48) break;
        string_view Name;
        if (Header(Line.Seen, Name, CodePage)) {
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
    std::optional<string_view> Found = profile::FindValue(Content, Section, Key, CodePage);
    std::optional<string_view> Expected = Model(Content, Section, Key, CodePage).Read;
    CHECK(Found == Expected, "engine read differs from the model");
    return Found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (Size < 1) return 0;
    bool Delete = Data[0] & 1;
    CodePage = Data[0] & 2 ? 932 : 1252;
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

    // The names as a read asks for them: without blanks at their ends. A set writes there; a
    // delete given names with blanks at an end matches nothing.
    const string_view Asked = Trim(Section), Name = Trim(Key);
    bool AsGiven = Asked.size() == Section.size() && Name.size() == Key.size();
    bool Valid = !profile::IsUtf16(Content) && Writable(Asked) && Writable(Name) &&
                 Name.find('=') == string_view::npos && Name[0] != '[' &&
                 (Delete || !HasLineBreakOrNul(Value));
    // A section name whose last byte would pair with the header's ']' cannot be written.
    std::string HeaderLine = "[" + std::string(Asked) + "]";
    string_view Written;
    Valid = Valid && Header(HeaderLine, Written, CodePage) && Written == Asked;
    std::string Out;
    profile::EditResult Result = profile::Edit(Content, Section, Key, NewValue, CodePage, Out);
    CHECK((Result == profile::EditResult::Refused) == !Valid, "refused exactly the unwritable");
    if (Result == profile::EditResult::Refused) return 0;

    // The plan of the edit, applied to the content, gives the same bytes as the edit.
    profile::EditPlan Plan;
    CHECK(profile::PlanEdit(Content, Section, Key, NewValue, CodePage, Plan) == Result,
          "plan result");
    if (Result == profile::EditResult::Changed) {
        CHECK(Plan.Offset <= Content.size() && Plan.Remove <= Content.size() - Plan.Offset,
              "plan within the content");
        std::string Planned = Content.substr(0, Plan.Offset) + Plan.Insert +
                              Content.substr(Plan.Offset + Plan.Remove);
        CHECK(Planned == Out, "plan and edit agree");
    }

    const ModelResult Before = Model(Content, Asked, Name, CodePage);
    const std::string After = Result == profile::EditResult::Changed ? Out : Content;
    Current[4] = {"after", &After};
    CHECK(profile::ReadsAsWritten(Content, After, Section.c_str(), Key.c_str(), NewValue,
                                  CodePage),
          "the check refuses the engine's own edit");
    CHECK(!AsGiven || PerSectionReadsAsWritten(Content, After, Section.c_str(), Key.c_str(),
                                               NewValue, CodePage),
          "the older per-section check refuses the engine's own edit");

    // A rewrite in place reads as the old or the new content between its steps.
    profile::InPlacePlan InPlace = profile::PlanInPlace(Content, After);
    CHECK(profile::ReadsAlike(Content, InPlace.Back, CodePage) &&
              profile::ReadsAlike(After, InPlace.Forward, CodePage),
          "a content padded for a rewrite in place reads differently");

    if (Delete) {
        bool There = AsGiven && Before.KeyInAnySection;
        CHECK((Result == profile::EditResult::Changed) == There,
              "delete changes the file exactly when the key is in a section of that name");
        CHECK(After.size() < Content.size() || !There, "delete removes bytes");
    } else {
        string_view Expected = Unquote(Trim(Value));
        std::optional<string_view> Got = Read(After, Asked, Name);
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
        profile::EditResult Second = profile::Edit(After, Section, Key, NewValue, CodePage, Again);
        CHECK(Second == profile::EditResult::Unchanged ||
                  (Second == profile::EditResult::Changed && Again == After),
              "a repeated set changes nothing");

        if (Before.SectionFound && !Before.KeyPresent && Before.LastLineHasEnding) {
            std::string Back;
            profile::EditResult Undo = profile::Edit(After, Asked, Name, nullptr, CodePage, Back);
            CHECK(Undo == profile::EditResult::Changed && Back == Content,
                  "set then delete of a new key gives back the original bytes");
        }
    }

    // Every other key reads as before.
    std::vector<std::pair<std::string, std::string>> Pairs = PairsOf(Content);
    Pairs.emplace_back(Asked, "VIEWEXP5");
    Pairs.emplace_back("Notes", Name);
    for (const auto& Pair : Pairs) {
        if (SameName(Pair.first, Asked, CodePage) && SameName(Pair.second, Name, CodePage))
            continue;
        CHECK(Read(Content, Pair.first, Pair.second) == Read(After, Pair.first, Pair.second),
              "another key reads differently after the edit");
    }
    return 0;
}
