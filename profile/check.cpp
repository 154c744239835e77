// The check of another writer's write: does the new content read, line by line and in order, as
// the engine's own edit of the old one? Its contract is in profile.h.
//
// Each non-blank line is compared by what a read sees of it: a header by its name, an entry by
// its name, whether it has an '=' and the value a read gives. The only differences allowed are
// those that a platform's rewrite of the whole file makes (Wine's rewrites every line):
//   - blank lines come and go, and lines take other endings: a read passes over blank lines and
//     every kind of line end;
//   - blanks around names and values, text after a header's ']', the case of a name's letters:
//     a read trims them, ignores that text and matches names without case; the rewrite writes
//     "[name]" and "name=value";
//   - a name or value cut by a NUL after a blank reads with that blank, but the rewrite writes it
//     up to the NUL, where the blank ends its line and is trimmed: both are compared trimmed;
//   - a header "[]" may be missing: the rewrite keeps the lines of a section named "" but writes
//     no header for it;
//   - the line of the key set may stand anywhere in the first section of its name, as long as it
//     reads as the value: a platform adds a new key at its own place in the section.
// Anything else (a line lost, added, moved or changed, a later section of a name, a later line
// of a key, a line without '=', a line before the first header) makes the check fail.
#include "profile/rules.h"

namespace profile {
namespace {

// A non-blank line as a read sees it.
struct SeenLine {
    bool Header = false;
    std::string_view Name;  // trimmed, also after a NUL that cut it
    bool HasValue = false;
    std::optional<std::string_view> Value;  // what a read gives, trimmed after a NUL
    size_t Begin = 0;                       // where the line starts in its content
};

// Walks one content's non-blank lines, and tells the line of the key set: the first entry of
// Key in the first section named Section (none when Key is empty).
class SeenLines {
public:
    SeenLines(std::string_view Content, std::string_view Section, std::string_view Key,
              unsigned CodePage)
        : Content_(IsUtf16(Content) ? std::string_view() : Content),
          Scanner_{Content_, ContentStart(Content_)}, Key_(Key), CodePage_(CodePage)
    {
        if (Key_.empty()) return;
        std::optional<Line> Header = FindSection(Content_, Section, CodePage);
        if (Header) TargetHeader_ = Header->Begin;
    }

    // The next non-blank line; false at the end.
    bool Next(SeenLine& Out)
    {
        while (!Scanner_.AtEnd()) {
            Line Here = Scanner_.Next();
            std::string_view Seen = SeenPart(Content_, Here), Name;
            if (Seen.empty()) continue;
            Out = SeenLine{};
            Out.Begin = Here.Begin;
            if (ParseHeader(Seen, Name, CodePage_)) {
                Out.Header = true;
                Out.Name = Trim(Name);
                InTarget_ = Here.Begin == TargetHeader_;
                return true;
            }
            Entry Item = ParseEntry(Seen, CodePage_);
            Item.Name = Trim(Item.Name);
            Item.Value = Trim(Item.Value);
            Location Found;
            Found.KeyFound = true;
            Found.KeyEntry = Item;
            Out.Name = Item.Name;
            Out.HasValue = Item.HasValue;
            Out.Value = ValueOf(Found);
            return true;
        }
        return false;
    }

    // True, once, for the line of the key set.
    bool IsKeySet(const SeenLine& Seen)
    {
        if (Seen.Header || !InTarget_ || KeySeen_ || !SameName(Seen.Name, Key_, CodePage_))
            return false;
        return KeySeen_ = true;
    }

private:
    std::string_view Content_;
    LineScanner Scanner_;
    std::string_view Key_;
    unsigned CodePage_;
    size_t TargetHeader_ = SIZE_MAX;
    bool InTarget_ = false;
    bool KeySeen_ = false;
};

bool Alike(const SeenLine& A, const SeenLine& B, unsigned CodePage)
{
    return A.Header == B.Header && SameName(A.Name, B.Name, CodePage) &&
           A.HasValue == B.HasValue && A.Value == B.Value;
}

// The comparison of Expected and After, line by line; Section/Key name the key set (Key empty
// for none), whose line is compared apart.
bool Compare(std::string_view Expected, std::string_view After, std::string_view Section,
             std::string_view Key, unsigned CodePage)
{
    SeenLines Want(Expected, Section, Key, CodePage), Got(After, Section, Key, CodePage);
    std::optional<std::optional<std::string_view>> WantSet, GotSet;  // the key set's reads
    SeenLine A, B;
    // The next line of a side that is not the key set's, whose read is kept apart.
    auto Next = [](SeenLines& Side, SeenLine& Line, auto& SetRead) {
        while (Side.Next(Line)) {
            if (!Side.IsKeySet(Line)) return true;
            SetRead = Line.Value;
        }
        return false;
    };
    bool HaveA = Next(Want, A, WantSet), HaveB = Next(Got, B, GotSet);
    while (HaveA) {
        if (HaveB && Alike(A, B, CodePage)) {
            HaveA = Next(Want, A, WantSet);
            HaveB = Next(Got, B, GotSet);
        } else if (A.Header && A.Name.empty()) {
            HaveA = Next(Want, A, WantSet);  // a header "[]" that the rewrite left out
        } else {
            return false;
        }
    }
    return !HaveB && WantSet == GotSet;
}

}  // namespace

bool ReadsAsWritten(std::string_view Before, std::string_view After, const char* Section,
                    const char* Key, const char* Value, unsigned CodePage)
{
    std::string Edited;
    EditResult Result = Edit(Before, Section, Key, Value, CodePage, Edited);
    if (Result == EditResult::Refused) return false;
    std::string_view Expected = Result == EditResult::Changed ? Edited : Before;
    if (After == Expected) return true;
    // A set's line is compared apart from the others; a delete leaves no line of its own.
    return Compare(Expected, After, Value ? Trim(Section) : "", Value ? Trim(Key) : "",
                   CodePage);
}

bool ReadsAlike(std::string_view A, std::string_view B, unsigned CodePage)
{
    return A == B || Compare(A, B, "", "", CodePage);
}

}  // namespace profile
