// The engine on bytes in memory: the exact bytes that each edit leaves, and what reads see of
// files that the shared read table cannot hold.
#include "profile/rules.h"
#include "tests/support/bytes.h"
#include "tests/support/case-name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using profile::EditResult;
using namespace std::string_literals;

// What another writer's write of the same change may leave, and whether ReadsAsWritten takes it.
struct Rewrite {
    std::string After;
    bool Reads;
};

struct EditCase {
    const char* Name;
    std::string Before;
    const char* Section;
    const char* Key;
    const char* Value;  // null deletes
    EditResult Result;
    std::string After;  // the exact bytes written; ignored unless Result is Changed
    std::vector<Rewrite> Rewrites = {};
};

using case_name::operator<<;

const EditCase kEdits[] = {
    // Only the target line changes; every other byte, spacing and line end stays.
    {"ReplaceKeepsOtherBytes", "; note\r\n[Notes]\r\n  A = 1 \r\nB=2\n\r\n[X]\r\n", "Notes", "a",
     "new", EditResult::Changed, "; note\r\n[Notes]\r\nA=new\r\nB=2\n\r\n[X]\r\n",
     // Names match whatever their case, blanks and blank lines do not count; a line added,
     // lost or changed does, and the first line of the key written is the one read.
     {{"; note\n[NOTES]\na = new\nb=2\n[X]", true}, {"[NOTES]\nA=new\nA=1\nb=2\n", false},
      {"; note\r\n[Notes]\r\nA=1\r\nA=new\r\nB=2\r\n[X]\r\n", false},
      {"; note\r\n[Notes]\r\nA=new\r\nB=3\r\n[X]\r\n", false},
      {"[Notes]\r\nA=new\r\nB=2\r\n[X]\r\n", false}}},
    {"ReplaceKeepsLineOwnEnding", "[Notes]\nA=1\r\nB=2\n", "Notes", "A", "x", EditResult::Changed,
     "[Notes]\nA=x\r\nB=2\n"},
    {"ReplaceLastLineWithoutEnding", "[Notes]\r\nA=1", "Notes", "A", "2", EditResult::Changed,
     "[Notes]\r\nA=2"},
    {"ReplaceLineHoldingNul", Bytes("[Notes]\r\nA=1\0zz\r\n", 17), "Notes", "A", "1",
     EditResult::Changed, "[Notes]\r\nA=1\r\n"},
    {"InsertAfterLastNonBlankLine", "[Notes]\r\nA=1\r\n\r\n\r\n[X]\r\nB=2\r\n", "Notes", "C", "3",
     EditResult::Changed, "[Notes]\r\nA=1\r\nC=3\r\n\r\n\r\n[X]\r\nB=2\r\n"},
    {"InsertIntoEmptySection", "[Notes]\n[X]\n", "Notes", "C", "3", EditResult::Changed,
     "[Notes]\nC=3\n[X]\n"},
    {"InsertAfterLastLineWithoutEnding", "[Notes]\r\nA=1", "Notes", "B", "2", EditResult::Changed,
     "[Notes]\r\nA=1\r\nB=2\r\n"},
    {"InsertUsesFirstLineEnding", "[Notes]\rA=1\r", "Notes", "B", "2", EditResult::Changed,
     "[Notes]\rA=1\rB=2\r"},
    {"InsertIntoFirstOfDuplicateSections", "[Notes]\nA=1\n[notes]\nB=2\n", "NOTES", "C", "3",
     EditResult::Changed, "[Notes]\nA=1\nC=3\n[notes]\nB=2\n"},
    {"AppendSectionAfterMissingLineEnd", "[X]\nA=1", "Notes", "VIEWEXP5", "e",
     EditResult::Changed, "[X]\nA=1\n[Notes]\nVIEWEXP5=e\n"},
    {"AppendSectionToFileWithoutLineEnds", "A=1", "Notes", "B", "2", EditResult::Changed,
     "A=1\r\n[Notes]\r\nB=2\r\n"},
    {"AppendSectionToEmptyFile", "", "Notes", "B", "2", EditResult::Changed,
     "[Notes]\r\nB=2\r\n", {{"[notes]\nb = 2", true}, {"[Notes]\r\n", false}, {"", false}}},
    {"AppendSectionKeepsBom", "\xEF\xBB\xBF", "Notes", "B", "2", EditResult::Changed,
     "\xEF\xBB\xBF[Notes]\r\nB=2\r\n"},
    {"HighBytesAroundEditKept", "[Notes]\r\nJ=\x83\x5C\x82\xA0\r\nA=1\r\nK=\xFF\xFE\r\n", "Notes",
     "A", "2", EditResult::Changed, "[Notes]\r\nJ=\x83\x5C\x82\xA0\r\nA=2\r\nK=\xFF\xFE\r\n"},

    // Deletes take the key's line and its line ending, nothing else.
    {"DeleteLineAndItsEnding", "[Notes]\r\nA=1\r\nB=2\r\n\r\n", "Notes", "A", nullptr,
     EditResult::Changed, "[Notes]\r\nB=2\r\n\r\n"},
    {"DeleteLastLineWithoutEnding", "[Notes]\nA=1\nB=2", "Notes", "B", nullptr,
     EditResult::Changed, "[Notes]\nA=1\n"},
    {"DeleteOnlyFirstMatch", "[Notes]\nA=1\nA=2\n", "Notes", "A", nullptr, EditResult::Changed,
     "[Notes]\nA=2\n", {{"[Notes]\n", false}, {"[Notes]\nA=1\n", false}}},
    {"DeleteKeepsEmptySection", "[Vorkap]\nOutputXML=1\n", "Vorkap", "OutputXML", nullptr,
     EditResult::Changed, "[Vorkap]\n"},

    // Nothing to change: nothing to write.
    {"SetSameValue", "[Notes]\r\nA = 1 \r\n", "Notes", "A", "1", EditResult::Unchanged, ""},
    {"DeleteMissingKey", "[Notes]\r\nA=1\r\n", "Notes", "B", nullptr, EditResult::Unchanged, ""},
    {"DeleteMissingSection", "[Notes]\r\nA=1\r\n", "Vorkap", "A", nullptr, EditResult::Unchanged,
     ""},
    // A later section of the name is never read: what a write leaves there is not seen.
    {"DeleteKeyOnlyInLaterDuplicateSection", "[Notes]\nA=1\n[Notes]\nB=2\n", "Notes", "B",
     nullptr, EditResult::Changed, "[Notes]\nA=1\n[Notes]\n",
     // A delete that the writer did not make in the later section is seen.
     {{"[Notes]\nA=1\n[Notes]\nB=2\n", false}, {"[Notes]\nA=1\nB=2\n", false},
      {"[Notes]\r\nA=1\r\n[Notes]\r\n", true}}},
    {"DeleteKeyOfFirstDuplicateSectionOnly", "[N]\r\nB=1\r\n[X]\r\n[n]\r\nB=2\r\n", "N", "B",
     nullptr, EditResult::Changed, "[N]\r\n[X]\r\n[n]\r\nB=2\r\n"},
    // Nothing is deleted under names with blanks at an end.
    {"DeleteWithBlankAroundKeyFindsNothing", "[Notes]\r\nA=1\r\n", "Notes", "A ", nullptr,
     EditResult::Unchanged, "", {{"[Notes]\r\nA=1\r\n", true}, {"[Notes]\r\n", false}}},
    {"DeleteWithBlankAroundSectionFindsNothing", "[Notes]\r\nA=1\r\nB=2\r\n", " Notes", "A",
     nullptr, EditResult::Unchanged, "", {{"[Notes]\r\nB=2\r\n", false}, {"[Notes]\r\n", false}}},
    {"SetTrimsNames", "[Notes]\r\nA=1\r\n", " Notes\t", "\vB ", "2", EditResult::Changed,
     "[Notes]\r\nA=1\r\nB=2\r\n"},
    {"SetTrimsNamesOfNewSection", "[Notes]\r\nA=1\r\n", " New ", " K ", "v", EditResult::Changed,
     "[Notes]\r\nA=1\r\n[New]\r\nK=v\r\n"},

    // Refused: it would inject lines, or would not read back as written.
    {"ValueWithLineFeed", "[Notes]\r\n", "Notes", "A", "x\ny", EditResult::Refused, ""},
    {"ValueWithCarriageReturn", "[Notes]\r\n", "Notes", "A", "x\rB=y", EditResult::Refused, ""},
    {"KeyWithLineFeed", "[Notes]\r\n", "Notes", "A\n[X]", "1", EditResult::Refused, ""},
    {"SectionWithLineFeed", "[Notes]\r\n", "Notes]\n[X", "A", "1", EditResult::Refused, ""},
    {"KeyWithEquals", "[Notes]\r\n", "Notes", "A=B", "1", EditResult::Refused, ""},
    {"EmptyKey", "[Notes]\r\n", "Notes", "", "1", EditResult::Refused, ""},
    {"BlankKey", "[Notes]\r\n", "Notes", " \t", "1", EditResult::Refused, ""},
    {"Utf16File", "\xFF\xFE[\0N\0]\0", "Notes", "A", "1", EditResult::Refused, ""},

    // The check of another writer's write: every line reads as in the engine's own edit, in
    // order; the spelling of names and blanks does not count, nor where the key set stands in its
    // section.
    {"CheckEveryOtherKey", "[Notes]\r\nA=1\r\nB=2\r\n[X]\r\nC=3\r\n", "Notes", "K", "v",
     EditResult::Changed, "[Notes]\r\nA=1\r\nB=2\r\nK=v\r\n[X]\r\nC=3\r\n",
     {{"[notes]\nk=v\na = 1\nb=2\n[x]\nc = 3", true},
      {"[x]\nc = 3\n[notes]\nb=2\na=1\nk=v\n", false},
      {"[Notes]\r\nA=1\r\nB=2\r\nK=v\r\n[X]\r\nC=3\r\n[Y]\r\nD=4\r\n", false},
      {"[Notes]\r\nA=1\r\nB=2\r\nK=v\r\n[X]\r\nC=4\r\n", false},
      {"[Notes]\r\nA=1\r\nK=v\r\n[X]\r\nC=3\r\n", false},
      {"[Notes]\r\nA=1\r\nB=2\r\nK=v\r\nC=3\r\n", false},
      {"[Notes]\r\nA=1\r\nB=2\r\n[X]\r\nC=3\r\n", false},
      {"[Notes]\r\nA=1\r\nB=2\r\nK=w\r\n[X]\r\nC=3\r\n", false}}},
    // Every section of a repeated name and every line of a repeated key count.
    {"CheckFirstSectionAndFirstLine", "[N]\r\nA=1\r\nA=2\r\n[X]\r\n[n]\r\nA=3\r\nB=4\r\n", "N",
     "K", "v", EditResult::Changed,
     "[N]\r\nA=1\r\nA=2\r\nK=v\r\n[X]\r\n[n]\r\nA=3\r\nB=4\r\n",
     {{"[N]\nA=1\nA=2\nK=v\n[X]\n[n]\nA=3\nB=4\n", true},
      {"[N]\r\nA=1\r\nK=v\r\n[X]\r\n[n]\r\nA=3\r\nB=4\r\n", false},
      {"[N]\r\nA=1\r\nA=2\r\nK=v\r\n[X]\r\n[n]\r\nA=3\r\nB=5\r\n", false},
      {"[N]\r\nA=1\r\nA=2\r\nK=v\r\n[X]\r\n", false},
      {"[N]\r\nA=2\r\nK=v\r\n[X]\r\n[n]\r\nA=3\r\nB=4\r\n", false},
      {"[N]\r\nA=1\r\nA=2\r\n[X]\r\n[n]\r\nK=v\r\nA=3\r\nB=4\r\n", false},
      {"[n]\r\nA=3\r\nB=4\r\n[N]\r\nA=1\r\nK=v\r\n", false}}},
    // What Wine's rewrite changes: a header "[]" left out, a name or a value cut by a NUL after
    // a blank written up to the NUL, lines of the key "" merged. The lines before the first
    // header and the section "" are compared like any other; a NUL after anything else cuts a
    // value that is read.
    {"CheckAllowsWhatTheRewriteChanges",
     "Top=0\r\n[]\r\nB=1\r\n[S \0x]\r\nD=1\r\n[Notes]\r\n=x\r\nK \0y=1\r\nV=a \0b\r\nW=a\0b\r\n"s,
     "Notes", "C", "3", EditResult::Changed,
     "Top=0\r\n[]\r\nB=1\r\n[S \0x]\r\nD=1\r\n[Notes]\r\n=x\r\nK \0y=1\r\nV=a \0b\r\nW=a\0b\r\n"
     "C=3\r\n"s,
     {{"Top=0\r\nB=1\r\n[S ]\r\nD=1\r\n[Notes]\r\n=x\r\nK =1\r\nV=a \r\nW=a\r\nC=3\r\n", true},
      {"[Notes]\r\nK=1\r\nV=a\r\nW=a\r\nC=3\r\n", false},
      {"Top=1\r\nB=1\r\n[S]\r\nD=1\r\n[Notes]\r\n=x\r\nK=1\r\nV=a\r\nW=a\r\nC=3\r\n", false},
      {"Top=0\r\nB=1\r\n[S]\r\nD=1\r\n[Notes]\r\nK=1\r\nV=a\r\nW=a\r\nC=3\r\n", true},
      {"Top=0\r\nB=1\r\n[S]\r\nD=1\r\n[Notes]\r\n=x\r\nK=1\r\nV=a\r\nW=a\r\n", false},
      {"[Notes]\r\nK=1\r\nV=a\r\nW=b\r\nC=3\r\n", false}}},
    // Every line of a key is compared, one cut after a blank as its trimmed value.
    {"CheckKeyCutAfterBlankThenRepeated", "[Notes]\r\nV=a \0b\r\nV=c\r\n"s, "Notes", "C", "3",
     EditResult::Changed, "[Notes]\r\nV=a \0b\r\nV=c\r\nC=3\r\n"s,
     {{"[Notes]\r\nV=a\r\nV=c\r\nC=3\r\n", true}, {"[Notes]\r\nV=a \0\r\nC=3\r\n"s, false},
      {"[Notes]\r\nV=c\r\nC=3\r\n", false}}},
    // One pair of quotes is not part of the value, in the key written as in the others.
    {"CheckQuotesReadAsTheirValue", "[Notes]\r\nA=\"1\"\r\nB='x'\r\n", "Notes", "K", "\"v\"",
     EditResult::Changed, "[Notes]\r\nA=\"1\"\r\nB='x'\r\nK=\"v\"\r\n",
     {{"[Notes]\r\nA=1\r\nB=x\r\nK=v\r\n", true},
      {"[Notes]\r\nA='1'\r\nB=\"x\"\r\nK='v'\r\n", true},
      {"[Notes]\r\nA=\"1\r\nB='x'\r\nK=v\r\n", false},
      {"[Notes]\r\nA=1\r\nB=x\r\nK=\"\"v\"\"\r\n", false}}},
};

class ProfileEditTest : public ::testing::TestWithParam<EditCase> {};

void CheckEdit(const EditCase& Case, unsigned CodePage)
{
    std::string Out = "untouched";
    EditResult Result =
        profile::Edit(Case.Before, Case.Section, Case.Key, Case.Value, CodePage, Out);
    ASSERT_EQ(Result, Case.Result);
    auto Check = [&Case, CodePage](const std::string& After) {
        return profile::ReadsAsWritten(Case.Before, After, Case.Section, Case.Key, Case.Value,
                                       CodePage);
    };
    if (Result == EditResult::Changed) {
        EXPECT_EQ(Out, Case.After);
        // The engine's own edit reads as written.
        EXPECT_TRUE(Check(Out));
    }
    for (const Rewrite& Each : Case.Rewrites)
        EXPECT_EQ(Check(Each.After), Each.Reads) << Each.After;
}

TEST_P(ProfileEditTest, LeavesExactBytes)
{
    CheckEdit(GetParam(), 1252);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProfileEditTest, ::testing::ValuesIn(kEdits), CaseName());

// Edits under code page 932, where a lead byte and the byte after it are one character: the
// exact bytes, with second bytes 0x41-0x5A, 0x5B, 0x5C, 0x5D and 0x7C in names and values.
const EditCase kCodePage932Edits[] = {
    {"SetKeyDistinctByTrailLetter", "[Notes]\r\n\x83\x61=1\r\n", "Notes", "\x83\x41", "2",
     EditResult::Changed, "[Notes]\r\n\x83\x61=1\r\n\x83\x41=2\r\n"},
    {"SetKeyDistinctInExtensionRow", "[Notes]\n\xFC\x41=1\n", "Notes", "\xFC\x61", "2",
     EditResult::Changed, "[Notes]\n\xFC\x41=1\n\xFC\x61=2\n"},
    {"ReplaceInSectionNamedWithTrailBracket", "[\x83\x5D]\r\n\x83\x5B=1\r\n", "\x83\x5D",
     "\x83\x5B", "\x95\x5C", EditResult::Changed, "[\x83\x5D]\r\n\x83\x5B=\x95\x5C\r\n"},
    {"UnclosedTrailBracketLineBelongsToSection", "[N]\r\nk=1\r\n[O\x83\x5D\r\nm=2\r\n", "N",
     "x", "3", EditResult::Changed, "[N]\r\nk=1\r\n[O\x83\x5D\r\nm=2\r\nx=3\r\n"},
    {"DeleteOnlyKeyOfThatTrailLetter", "[Notes]\r\n\x83\x61=1\r\n\x83\x41=2\r\n", "Notes",
     "\x83\x41", nullptr, EditResult::Changed, "[Notes]\r\n\x83\x61=1\r\n"},
    {"DeleteMissesKeyOfOtherTrailLetter", "[Notes]\r\n\x83\x61=1\r\n", "Notes", "\x83\x41",
     nullptr, EditResult::Unchanged, ""},
    // Pairs whose second byte is a ']', a '\\' or a letter: one character, never a bracket, and
    // never folded, so ア (\x83\x41) and ぁ (\x83\x61) are two keys, and "[O\x83\x5D" is no header
    // (its "m" is a key of [N], not of a second section [O\x83]).
    {"CheckNamesOfPairs", "[O\x83 ]\r\n[N]\r\n\x83\x61=1\r\n\x83\x41=2\r\n[O\x83\x5D\r\nm=2\r\n",
     "N", "\x95\x5C", "v", EditResult::Changed,
     "[O\x83 ]\r\n[N]\r\n\x83\x61=1\r\n\x83\x41=2\r\n[O\x83\x5D\r\nm=2\r\n\x95\x5C=v\r\n",
     {{"[O\x83 ]\n[n]\n\x83\x61 = 1\n\x83\x41=2\n[O\x83\x5D\nm=2\n\x95\x5C=v\n", true},
      {"[N]\r\n\x83\x41=2\r\n\x83\x61=1\r\nm=2\r\n\x95\x5C=v\r\n[O\x83 ]\r\n", false},
      {"[O\x83 ]\r\n[N]\r\n\x83\x61=1\r\n[O\x83\x5D\r\nm=2\r\n\x95\x5C=v\r\n", false},
      {"[O\x83 ]\r\n[N]\r\n\x83\x61=1\r\n\x83\x41=2\r\n[O\x83\x5D\r\nm=3\r\n"
       "\x95\x5C=v\r\n", false},
      {"[O\x83 ]\r\n[N]\r\n\x83\x61=1\r\n\x83\x41=2\r\n[O\x83\x5D\r\nm=2\r\n"
       "\x95\x7C=v\r\n", false}}},
    {"CheckSectionOfTrailBracket", "[\x83\x5D]\r\n\x83\x5B=1\r\nk=2\r\n", "\x83\x5D", "k",
     nullptr, EditResult::Changed, "[\x83\x5D]\r\n\x83\x5B=1\r\n",
     {{"[\x83\x5D]\n\x83\x5B = 1\n", true},
      {"[\x83\x5D]\r\n\x83\x5B=1\r\n[\x83\x5D]\r\nk=2\r\n", false},
      {"[\x83\x5D]\r\n\x83\x5B=1\r\nk=2\r\n", false},
      {"[\x83\x5D]\r\n\x83\x7B=1\r\n", false}}},
    {"NewSectionWithTrailBytes", "", "\x83\x5D\x83\x5B", "\x83\x7C", "\x95\x5C",
     EditResult::Changed, "[\x83\x5D\x83\x5B]\r\n\x83\x7C=\x95\x5C\r\n"},
    // "[A\x83]" would read as an unclosed header: the write would not read back.
    {"SectionEndingInLeadByteRefused", "[Notes]\r\n", "A\x83", "k", "1", EditResult::Refused, ""},
};

class CodePage932EditTest : public ::testing::TestWithParam<EditCase> {};

TEST_P(CodePage932EditTest, LeavesExactBytes)
{
    CheckEdit(GetParam(), 932);
}

INSTANTIATE_TEST_SUITE_P(Cases, CodePage932EditTest, ::testing::ValuesIn(kCodePage932Edits),
                         CaseName());

// A lead byte before a line end or the end of the file stands alone, and the pairs that a
// one-byte rule would split (\x83\x41 as \x83 'A') are what tells code page 932 apart.
TEST_F(CodePage932EditTest, LeadByteBeforeLineEndStandsAlone)
{
    std::string File = "[Notes]\r\nA=\x83\r\nB=x\x83\nC=\x83";
    auto Read = [&File](const char* Key) { return profile::FindValue(File, "Notes", Key, 932); };
    EXPECT_EQ(Read("A"), std::optional<std::string_view>("\x83"));
    EXPECT_EQ(Read("B"), std::optional<std::string_view>("x\x83"));
    EXPECT_EQ(Read("C"), std::optional<std::string_view>("\x83"));
    EXPECT_EQ(profile::FindValue("[N]\n\x83\x61=1\n", "N", "\x83\x41", 1252),
              std::optional<std::string_view>("1"));
}

// A set, then a delete of the same key that was absent, gives back the original bytes.
TEST(ProfileEdit, SetThenDeleteOfAbsentKeyRestoresBytes)
{
    const std::string Files[] = {"[Notes]\r\nA=1\r\n\r\n[X]\r\n", "[Notes]\nA=1", "[Notes]\r",
                                 "\xEF\xBB\xBF[X]\n[Notes]\n  A = 1\n"};
    for (const std::string& Original : Files) {
        std::string Set;
        std::string Deleted;
        ASSERT_EQ(profile::Edit(Original, "Notes", "New", "v", 1252, Set), EditResult::Changed);
        ASSERT_EQ(profile::Edit(Set, "Notes", "New", nullptr, 1252, Deleted), EditResult::Changed);
        // A last line without a line end gains the file's own when a line is added after it.
        std::string Expected = Original;
        if (Expected.back() != '\n' && Expected.back() != '\r') {
            Expected += Original.find("\r\n") != std::string::npos ? "\r\n" : "\n";
        }
        EXPECT_EQ(Deleted, Expected) << Original;
    }
}

// Reads that the table run against Windows cannot hold: UTF-16 files, and what a set reads
// back as.
TEST(ProfileRead, Utf16FileSeesNothing)
{
    std::string Utf16 = Bytes("\xFF\xFE[\0N\0]\0\r\0\n\0A\0=\0001\0", 18);
    EXPECT_FALSE(profile::FindValue(Utf16, "N", "A", 1252).has_value());
}

TEST(ProfileRead, BufferLimits)
{
    std::string File = "[Notes]\r\nA=" + std::string(300, 'v') + "\r\n";
    char Buffer[8];
    EXPECT_EQ(profile::ReadString(File, "Notes", "A", "", Buffer, 4, 1252), 3u);
    EXPECT_STREQ(Buffer, "vvv");
    EXPECT_EQ(profile::ReadString(File, "Notes", "B", "default", Buffer, 4, 1252), 3u);
    EXPECT_STREQ(Buffer, "def");
    EXPECT_EQ(profile::ReadString(File, "Notes", "B", nullptr, Buffer, 1, 1252), 0u);
    EXPECT_STREQ(Buffer, "");
}

TEST(ProfileRead, SetValueReadsBack)
{
    std::string Out;
    ASSERT_EQ(profile::Edit("[Notes]\n", "Notes", "VIEWEXP5",
                            "Export HTML Files,1,_Vorkap,,.Htm,,1,", 1252, Out),
              EditResult::Changed);
    EXPECT_EQ(profile::FindValue(Out, "Notes", "VIEWEXP5", 1252),
              std::optional<std::string_view>("Export HTML Files,1,_Vorkap,,.Htm,,1,"));
}

}  // namespace
