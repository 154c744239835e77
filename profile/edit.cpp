// The edit: where a set or a delete goes, as one change to the old content.
#include "profile/rules.h"

namespace profile {
namespace {

// The line ending that new lines take: the file's first, or CR LF in a file that has none.
std::string_view LineEndingOf(std::string_view Content)
{
    size_t End = Content.find_first_of("\r\n");
    if (End == std::string_view::npos || Content.substr(End, 2) == "\r\n") return "\r\n";
    return Content[End] == '\n' ? "\n" : "\r";
}

// True when the header and the entry line that a write would add read back as Section and Key,
// names without blanks at their ends. They would not for an empty name, a line break or a NUL in
// a name, a key with '=' or a leading '[', or a section whose last byte would pair with the ']'.
bool ReadsBack(std::string_view Section, std::string_view Key, unsigned CodePage)
{
    std::string Header = "[" + std::string(Section) + "]";
    std::string EntryLine = std::string(Key) + "=";
    std::string_view Name;
    if (Section.empty() || Key.empty() || Key[0] == '[' ||
        (Header + EntryLine).find_first_of("\r\n") != std::string::npos) {
        return false;
    }
    return ParseHeader(Header, Name, CodePage) && Name == Section &&
           ParseEntry(EntryLine, CodePage).Name == Key;
}

// The lines that a set adds, each with the file's line ending: Lead (the line ending of a last
// line that has none), a header when Section is given, then Key=Value.
std::string NewLines(std::string_view Lead, std::string_view Section, std::string_view Key,
                     std::string_view Value, std::string_view Ending)
{
    std::string Lines(Lead);
    if (!Section.empty()) Lines.append("[").append(Section).append("]").append(Ending);
    return Lines.append(Key).append("=").append(Value).append(Ending);
}

}  // namespace

EditResult PlanEdit(std::string_view Content, std::string_view Section, std::string_view Key,
                    const char* Value, unsigned CodePage, EditPlan& Plan,
                    const SectionLookup* Lookup)
{
    std::string_view NewValue = Value ? Value : "";
    // A set goes where a read of the same names looks: the names lose their blanks at both ends,
    // as with Windows' API under Wine. A delete, as Wine's, matches the names as given: one with
    // blanks at an end finds nothing to delete.
    std::string_view Asked = Trim(Section), Name = Trim(Key);
    if (IsUtf16(Content) || !ReadsBack(Asked, Name, CodePage) ||
        NewValue.find_first_of("\r\n") != NewValue.npos) {
        return EditResult::Refused;
    }
    if (!Value && (Asked.size() != Section.size() || Name.size() != Key.size())) {
        return EditResult::Unchanged;
    }
    Location Found =
        Lookup ? Lookup->Locate(Name) : SectionLookup(Content, Asked, CodePage).Locate(Name);
    std::string_view Ending = LineEndingOf(Content);
    Plan = EditPlan{};

    if (!Value) {
        // Delete: the key's line with its line ending, nothing else. A key that the first section
        // of that name lacks is deleted from the next section of the name that holds it, as with
        // Windows' API under Wine: reads stop at the first section, deletes do not.
        while (!Found.KeyFound && Found.SectionFound) {
            Found = SectionLookup(Content, Asked, CodePage, Found.LastLineOfSection.Next)
                        .Locate(Name);
        }
        if (!Found.KeyFound) return EditResult::Unchanged;
        Plan = {Found.KeyLine.Begin, Found.KeyLine.Next - Found.KeyLine.Begin, ""};
        return EditResult::Changed;
    }
    if (Found.KeyFound) {
        // Set an existing key: its line becomes name=value, with its own line ending. A line
        // that holds a NUL is rewritten even when it reads as the value already.
        const Line& KeyLine = Found.KeyLine;
        std::string_view Old = Content.substr(KeyLine.Begin, KeyLine.End - KeyLine.Begin);
        if (Found.KeyEntry.HasValue && Found.KeyEntry.Value == NewValue &&
            Old.find('\0') == std::string_view::npos) {
            return EditResult::Unchanged;
        }
        Plan = {KeyLine.Begin, Old.size(), std::string(Found.KeyEntry.Name) + "="};
        Plan.Insert.append(NewValue);
        return EditResult::Changed;
    }
    if (Found.SectionFound) {
        // A new key: one line right after the last non-blank line of the section.
        const Line& Last = Found.LastLineOfSection;
        Plan.Offset = Last.Next;
        // A lone CR written right before an LF of the file would join it into one CR LF: the
        // new line would seem to own that LF, and deleting the line would take it along.
        bool JoinsLf = Ending == "\r" && Last.Next < Content.size() && Content[Last.Next] == '\n';
        Plan.Insert = NewLines(Last.Next == Last.End ? Ending : "", {}, Name, NewValue,
                               JoinsLf ? "\r\n" : Ending);
        return EditResult::Changed;
    }
    // A new section at the end of the file, after a line ending for a last line that lacks one.
    Plan.Offset = Content.size();
    bool Unended = Content.size() > ContentStart(Content) && Content.back() != '\r' &&
                   Content.back() != '\n';
    Plan.Insert = NewLines(Unended ? Ending : "", Asked, Name, NewValue, Ending);
    return EditResult::Changed;
}

EditResult Edit(std::string_view Content, std::string_view Section, std::string_view Key,
                const char* Value, unsigned CodePage, std::string& Out)
{
    EditPlan Plan;
    EditResult Result = PlanEdit(Content, Section, Key, Value, CodePage, Plan);
    if (Result == EditResult::Changed) {
        Out.assign(Content.substr(0, Plan.Offset)).append(Plan.Insert);
        Out.append(Content.substr(Plan.Offset + Plan.Remove));
    }
    return Result;
}

}  // namespace profile
