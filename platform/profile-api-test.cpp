// One table of profile-file cases, run against whichever GetPrivateProfileStringA and
// WritePrivateProfileStringA the build has: the native engine, or the real ones on Windows (and
// under Wine). Each case writes a file, applies writes, then checks what reads give back, so
// the two implementations must agree on every answer.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

// The platform's own profile calls: on Windows the real ones, not the checked ones.
#define PLATFORM_RAW_PROFILE_API
#include "platform/platform.h"
#include "tests/support/bytes.h"
#include "tests/support/case-name.h"

namespace {

namespace fs = std::filesystem;

// The default that lookups pass, so that a missing key and an empty value tell apart.
const char kMissing[] = "<missing>";

struct Write {
    const char* Section;
    const char* Key;
    const char* Value;  // null deletes the key
};

struct Read {
    const char* Section;
    const char* Key;
    std::string Expected;  // kMissing when the read gives the default
};

struct ApiCase {
    const char* Name;
    std::string File;  // the file's bytes before the writes; may hold NUL bytes
    std::vector<Write> Writes;
    std::vector<Read> Reads;
    // Texts that the file holds (true) or no longer holds (false) after the writes: a key that
    // only a delete can reach is seen there, not through reads.
    std::vector<std::pair<const char*, bool>> Holds = {};
};

using case_name::operator<<;

const std::string kLong300(300, 'x');

const ApiCase kCases[] = {
    // Reads of untouched files.
    {"CrLfLines", "[Notes]\r\nVIEWEXP5=abc\r\nVIEWEXP6=def\r\n", {},
     {{"Notes", "VIEWEXP5", "abc"}, {"Notes", "VIEWEXP6", "def"}, {"Notes", "VIEWEXP7", kMissing}}},
    {"LfLines", "[Notes]\nA=1\nB=2\n", {}, {{"Notes", "A", "1"}, {"Notes", "B", "2"}}},
    {"LoneCrLines", "[Notes]\rA=1\rB=2\r", {}, {{"Notes", "A", "1"}, {"Notes", "B", "2"}}},
    {"MixedLineEnds", "[Notes]\r\n\r\n\nA=1\r\rB=2\n\r", {},
     {{"Notes", "A", "1"}, {"Notes", "B", "2"}}},
    {"NoFinalLineEnd", "[Notes]\r\nA=last", {}, {{"Notes", "A", "last"}}},
    {"BlanksTrimmed", "  [ Notes ]  \r\n\t A \t=  x y \t\r\n", {}, {{"Notes", "A", "x y"}}},
    {"TextAfterHeader", "[Notes] trailing text\r\nA=1\r\n", {}, {{"Notes", "A", "1"}}},
    {"HeaderRunsToLastBracket", "[a]b]c\r\nk=v\r\n", {}, {{"a]b", "k", "v"}, {"a", "k", kMissing}}},
    {"BracketWithoutCloseIsNotHeader", "[Notes]\r\n[broken\r\nA=1\r\n", {},
     {{"Notes", "A", "1"}, {"broken", "A", kMissing}}},
    {"LinesBeforeFirstHeader", "A=0\r\n[Notes]\r\nB=1\r\n", {},
     {{"Notes", "A", kMissing}, {"Notes", "B", "1"}}},
    {"SemicolonIsNotComment", "[Notes]\r\n;VIEWEXP5=x\r\n#VIEWEXP6=y\r\n", {},
     {{"Notes", "VIEWEXP5", kMissing}, {"Notes", ";VIEWEXP5", "x"},
      {"Notes", "VIEWEXP6", kMissing}, {"Notes", "#VIEWEXP6", "y"}}},
    {"CaseOfAsciiLettersIgnored", "[NOTES]\r\nviewexp5=x\r\n", {},
     {{"Notes", "VIEWEXP5", "x"}, {"notes", "ViewExp5", "x"}}},
    {"FirstKeyWins", "[Notes]\r\nA=1\r\nA=2\r\n", {}, {{"Notes", "A", "1"}}},
    {"FirstSectionWins", "[Notes]\r\nA=1\r\n[Other]\r\nC=3\r\n[notes]\r\nA=2\r\nB=3\r\n", {},
     {{"Notes", "A", "1"}, {"Notes", "B", kMissing}, {"Other", "C", "3"}}},
    {"EmptyValue", "[Notes]\r\nA=\r\nB=  \r\n", {}, {{"Notes", "A", ""}, {"Notes", "B", ""}}},
    {"ValueKeepsLaterEquals", "[Notes]\r\nA=b=c\r\n", {}, {{"Notes", "A", "b=c"}}},
    {"QuotesRemoved", "[Notes]\r\nA=\"x y\"\r\nB='q'\r\nC=\"\"\r\nD=\"open\r\nE=\"\r\nF=\"a'\r\n", {},
     {{"Notes", "A", "x y"}, {"Notes", "B", "q"}, {"Notes", "C", ""}, {"Notes", "D", "\"open"},
      {"Notes", "E", "\""}, {"Notes", "F", "\"a'"}}},
    {"Utf8ByteOrderMark", "\xEF\xBB\xBF[Notes]\r\nA=1\r\n", {}, {{"Notes", "A", "1"}}},
    {"NulEndsWhatIsSeen", Bytes("[Notes]\r\nA=x\0y\r\nB=2\r\n", 19), {},
     {{"Notes", "A", "x"}, {"Notes", "B", "2"}}},
    // A NUL ends a name or a value, not the line: the '=' and the ']' after it still count.
    {"NulEndsNameNotLine", Bytes("[Vorkap]\nh\0x=O\n", 15), {}, {{"Vorkap", "h", "O"}}},
    {"EqualsAfterNulSplitsLine", Bytes("[A]\r'q'\0=\"\r\n", 12), {}, {{"A", "'q'", "\""}}},
    {"BracketAfterNulClosesHeader", Bytes("[[a\0]\n#k=v\n", 11), {}, {{"[a", "#k", "v"}}},
    {"BlanksBeforeNulKept", Bytes("[N]\r\nk=x  \0y \r\n", 15), {}, {{"N", "k", "x  "}}},
    {"QuotesOfValueBeforeNul", Bytes("[N]\r\nq='a'\0z\r\n", 14), {}, {{"N", "q", "a"}}},
    // The names a read asks for lose their blanks at both ends, as in the file.
    {"AskedNamesTrimmed", "[Notes]\r\nA=1\r\n", {},
     {{" Notes\t", "\x1a" "A ", "1"}, {"Notes", "\vA\f", "1"}, {"No tes", "A", kMissing}}},
    {"HighBytesKept", "[Notes]\r\nA=\x83\x5C\x82\xA0z\r\n", {}, {{"Notes", "A", "\x83\x5C\x82\xA0z"}}},
    {"LongValueCut", "[Notes]\r\nA=" + kLong300 + "\r\n", {}, {{"Notes", "A", std::string(255, 'x')}}},
    {"EmptyFile", "", {}, {{"Notes", "A", kMissing}}},

    // Writes, then what reads give back.
    {"SetNewKeyInSection", "[Notes]\r\nA=1\r\n\r\n[Other]\r\nB=2\r\n", {{"Notes", "C", "3"}},
     {{"Notes", "A", "1"}, {"Notes", "C", "3"}, {"Other", "B", "2"}, {"Other", "C", kMissing}}},
    {"SetExistingKey", "[Notes]\r\nA=1\r\nB=2\r\n", {{"Notes", "a", "new"}},
     {{"Notes", "A", "new"}, {"Notes", "B", "2"}}},
    {"SetKeyWithoutEquals", "[Notes]\r\nA\r\nB=2\r\n", {{"Notes", "A", "1"}},
     {{"Notes", "A", "1"}, {"Notes", "B", "2"}}},
    {"SetInMissingSection", "[Other]\r\nB=2\r\n", {{"Notes", "VIEWEXP5", "entry"}},
     {{"Notes", "VIEWEXP5", "entry"}, {"Other", "B", "2"}}},
    {"SetAfterMissingFinalLineEnd", "[Notes]\r\nA=1", {{"Notes", "B", "2"}},
     {{"Notes", "A", "1"}, {"Notes", "B", "2"}}},
    {"SetNewSectionAfterMissingFinalLineEnd", "[Other]\r\nA=1", {{"Notes", "B", "2"}},
     {{"Other", "A", "1"}, {"Notes", "B", "2"}}},
    {"SetInFirstOfDuplicateSections", "[Notes]\r\nA=1\r\n[Notes]\r\nB=2\r\n", {{"Notes", "C", "3"}},
     {{"Notes", "A", "1"}, {"Notes", "C", "3"}}},
    {"SetInEmptyFile", "", {{"Notes", "A", "1"}}, {{"Notes", "A", "1"}}},
    {"SetSameValue", "[Notes]\r\nA=1\r\n", {{"Notes", "A", "1"}}, {{"Notes", "A", "1"}}},
    {"DeleteKey", "[Notes]\r\nA=1\r\nB=2\r\nC=3\r\n", {{"Notes", "B", nullptr}},
     {{"Notes", "A", "1"}, {"Notes", "B", kMissing}, {"Notes", "C", "3"}}},
    {"DeleteFirstOfDuplicateKeys", "[Notes]\r\nA=1\r\nA=2\r\n", {{"Notes", "A", nullptr}},
     {{"Notes", "A", "2"}}},
    {"DeleteMissingKey", "[Notes]\r\nA=1\r\n", {{"Notes", "B", nullptr}}, {{"Notes", "A", "1"}}},
    {"DeleteInMissingSection", "[Notes]\r\nA=1\r\n", {{"Vorkap", "OutputXML", nullptr}},
     {{"Notes", "A", "1"}}},
    {"DeleteLeavesSection", "[Vorkap]\r\nOutputDocument=1\r\nOutputXML=2\r\nKeep=3\r\n",
     {{"Vorkap", "OutputDocument", nullptr}, {"Vorkap", "OutputXML", nullptr}},
     {{"Vorkap", "OutputDocument", kMissing}, {"Vorkap", "OutputXML", kMissing},
      {"Vorkap", "Keep", "3"}}},
    {"SetThenDelete", "[Notes]\r\nA=1\r\n", {{"Notes", "B", "2"}, {"Notes", "B", nullptr}},
     {{"Notes", "A", "1"}, {"Notes", "B", kMissing}}},
    // A set goes where a read of the same names looks: the names lose their blanks at both ends.
    {"SetWithBlanksAroundNames", "[Notes]\r\nA=1\r\n",
     {{" Notes\t", " A ", "2"}, {"\tNotes ", "\x1a" "B\v", "3"}, {" New ", " K ", "v"}},
     {{"Notes", "A", "2"}, {"Notes", "B", "3"}, {"New", "K", "v"}, {" New ", "K\t", "v"}}},
    // A delete matches the names as given: with blanks at an end it finds nothing.
    {"DeleteWithBlanksAroundNames", "[Vorkap]\r\nOutputXML=1\r\nOutputDocument=2\r\n",
     {{" Vorkap", "OutputXML", nullptr}, {"Vorkap", "OutputDocument\t", nullptr}},
     {{"Vorkap", "OutputXML", "1"}, {"Vorkap", "OutputDocument", "2"}}},
    // Reads stop at the first section of a name; a delete goes on to the later ones, and removes
    // the first line of the key only.
    {"DeleteReachesLaterSectionOfName",
     "[Vorkap]\r\nKeep=1\r\n[Notes]\r\nA=1\r\n[vorkap]\r\nOutputDocument=x\r\nOutputXML=y\r\n"
     "[Vorkap]\r\nOutputXML=z\r\n",
     {{"Vorkap", "OutputDocument", nullptr}, {"Vorkap", "OutputXML", nullptr}},
     {{"Vorkap", "Keep", "1"}, {"Vorkap", "OutputXML", kMissing}, {"Notes", "A", "1"}},
     {{"OutputDocument", false}, {"OutputXML=y", false}, {"OutputXML=z", true}}},
};

// Code page 932: a lead byte (0x81-0x9F, 0xE0-0xFC) and the byte after it are one character,
// whose second byte is never a letter to fold, a '[', a ']' or a '='. Every pair here is a
// character of the code page: \x83\x41 ア, \x83\x61 ハ, \x83\x5A ズ, \x83\x5B セ, \x83\x5C ソ,
// \x83\x5D ゾ, \x83\x7C ボ, \x95\x5C 表, and the extension rows' \xED\x5D, \xFA\x41, \xFA\x61.
const ApiCase kCodePage932Cases[] = {
    // Second bytes 0x41-0x5A are not letters: no case folding.
    {"TrailLettersNotFoldedInKeys", "[Notes]\r\n\x83\x61=ha\r\n\x83\x41=a\r\n\x83\x5A=zu\r\n", {},
     {{"Notes", "\x83\x41", "a"}, {"Notes", "\x83\x61", "ha"}, {"Notes", "\x83\x5A", "zu"},
      {"Notes", "\x83\x7A", kMissing}}},
    {"TrailLettersNotFoldedInSections", "[\x83\x61]\r\nk=1\r\n[\x83\x41]\r\nk=2\r\n", {},
     {{"\x83\x41", "k", "2"}, {"\x83\x61", "k", "1"}}},
    {"ExtensionRowsArePairsToo", "[Notes]\r\n\xFA\x61=small\r\n\xFA\x41=big\r\n", {},
     {{"Notes", "\xFA\x41", "big"}, {"Notes", "\xFA\x61", "small"}}},
    {"AsciiLettersStillFoldAroundPairs", "[No\x83\x41tes]\r\nviewExp\x95\x5C=v\r\n", {},
     {{"NO\x83\x41TES", "VIEWEXP\x95\x5C", "v"}}},
    // A second byte 0x5D is not the ']' that closes a header, nor 0x5B a '['.
    {"TrailBracketDoesNotCloseHeader", "[Notes]\r\nA=1\r\n[Other\x83\x5D\r\nB=2\r\n", {},
     {{"Notes", "B", "2"}, {"Other", "B", kMissing}}},
    {"TrailBracketOfExtensionRowDoesNotCloseHeader", "[Notes]\r\n[x\xED\x5D\r\nB=2\r\n", {},
     {{"Notes", "B", "2"}, {"x", "B", kMissing}}},
    {"HeaderRunsToLastRealBracket", "[\x83\x5D]\x83\x5D]\r\nk=v\r\n", {},
     {{"\x83\x5D]\x83\x5D", "k", "v"}, {"\x83\x5D", "k", kMissing}}},
    {"TrailBracketsInNames", "[\x83\x5B\x83\x5D]\r\n\x83\x5D\x83\x5B=\x83\x5D\r\n", {},
     {{"\x83\x5B\x83\x5D", "\x83\x5D\x83\x5B", "\x83\x5D"}}},
    // Second bytes 0x5C and 0x7C are kept as they are, in names and values.
    {"TrailBackslashAndBar", "[\x95\x5C]\r\n\x83\x5C=\x83\x7C\x95\x5C\r\n", {},
     {{"\x95\x5C", "\x83\x5C", "\x83\x7C\x95\x5C"}}},

    // Writes find the same lines as reads.
    {"SetKeyDistinctByTrailLetter", "[Notes]\r\n\x83\x61=ha\r\n", {{"Notes", "\x83\x41", "a"}},
     {{"Notes", "\x83\x61", "ha"}, {"Notes", "\x83\x41", "a"}}},
    {"SetInSectionDistinctByTrailLetter", "[\x83\x61]\r\nk=1\r\n", {{"\x83\x41", "k", "2"}},
     {{"\x83\x61", "k", "1"}, {"\x83\x41", "k", "2"}}},
    {"SetInSectionWithTrailBrackets", "[\x83\x5D\x83\x5B]\r\nA=1\r\n",
     {{"\x83\x5D\x83\x5B", "B", "\x83\x5C"}, {"\x83\x5D\x83\x5B", "A", "\x95\x5C"}},
     {{"\x83\x5D\x83\x5B", "A", "\x95\x5C"}, {"\x83\x5D\x83\x5B", "B", "\x83\x5C"}}},
    {"SetAfterUnclosedTrailBracket", "[Notes]\r\nA=1\r\n[Other\x83\x5D\r\n",
     {{"Notes", "B", "2"}}, {{"Notes", "A", "1"}, {"Notes", "B", "2"}}},
    {"DeleteKeyDistinctByTrailLetter", "[Notes]\r\n\x83\x61=ha\r\n\x83\x41=a\r\n",
     {{"Notes", "\x83\x41", nullptr}}, {{"Notes", "\x83\x61", "ha"}, {"Notes", "\x83\x41", kMissing}}},
    {"DeleteInSectionWithTrailBackslash", "[\x95\x5C]\r\n\x83\x7C=1\r\nB=2\r\n",
     {{"\x95\x5C", "\x83\x7C", nullptr}}, {{"\x95\x5C", "\x83\x7C", kMissing}, {"\x95\x5C", "B", "2"}}},
};

class ProfileApiTest : public ::testing::TestWithParam<ApiCase> {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo* Info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string Name = std::string(Info->test_suite_name()) + "-" + Info->name();
        for (char& Byte : Name) {
            if (Byte == '/') Byte = '-';
        }
        Directory_ = fs::temp_directory_path() / ("profile-api-" + Name);
        fs::remove_all(Directory_);
        fs::create_directories(Directory_);
        Path_ = (Directory_ / "profile.ini").string();
    }
    void TearDown() override
    {
        std::error_code Ignored;
        fs::remove_all(Directory_, Ignored);
    }

    void WriteFile(const std::string& Content)
    {
        FILE* File = fopen(Path_.c_str(), "wb");
        ASSERT_NE(File, nullptr);
        ASSERT_EQ(fwrite(Content.data(), 1, Content.size(), File), Content.size());
        ASSERT_EQ(fclose(File), 0);
    }

    // Writes the case's file, applies its writes, and checks what its reads give back.
    void RunCase(const ApiCase& Case);

    fs::path Directory_;
    std::string Path_;
};

void ProfileApiTest::RunCase(const ApiCase& Case)
{
    WriteFile(Case.File);
    for (const Write& Step : Case.Writes) {
        EXPECT_TRUE(WritePrivateProfileStringA(Step.Section, Step.Key, Step.Value, Path_.c_str()))
            << "writing [" << Step.Section << "] " << Step.Key;
    }
    for (const Read& Lookup : Case.Reads) {
        char Buffer[256];
        DWORD Count = GetPrivateProfileStringA(Lookup.Section, Lookup.Key, kMissing, Buffer,
                                               sizeof Buffer, Path_.c_str());
        EXPECT_EQ(std::string(Buffer), Lookup.Expected)
            << "reading [" << Lookup.Section << "] " << Lookup.Key;
        EXPECT_EQ(Count, Lookup.Expected.size());
    }
    std::string After = ReadBytes(Path_);
    for (const auto& [Text, Held] : Case.Holds) {
        EXPECT_EQ(After.find(Text) != std::string::npos, Held) << Text;
    }
}

TEST_P(ProfileApiTest, ReadsAfterWrites)
{
    RunCase(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cases, ProfileApiTest, ::testing::ValuesIn(kCases), CaseName());

// The same test under code page 932: natively under a Shift_JIS locale, whose lead bytes the
// platform takes to be code page 932's; on Windows (and under Wine, LC_ALL=ja_JP.UTF-8) the
// process's ANSI code page must be 932.
class CodePage932Test : public ProfileApiTest {
protected:
    static void SetUpTestSuite()
    {
#ifdef _WIN32
        ASSERT_EQ(GetACP(), 932u);
#else
        setenv("LC_ALL", "ja_JP.SJIS", 1);
        PlatformStartup();
        ASSERT_TRUE(IsDBCSLeadByteEx(CP_ACP, 0xFA)) << "the ja_JP.SJIS locale is missing";
#endif
    }
    static void TearDownTestSuite()
    {
#ifndef _WIN32
        setenv("LC_ALL", "C", 1);
        PlatformStartup();
        unsetenv("LC_ALL");
#endif
    }
};

TEST_P(CodePage932Test, ReadsAfterWrites)
{
    RunCase(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Cases, CodePage932Test, ::testing::ValuesIn(kCodePage932Cases),
                         CaseName());

// A value cut by a small buffer ends before a character that would not fit whole, and the
// count is the buffer's size less one, as for any cut value.
TEST_F(CodePage932Test, CutValueKeepsWholeCharacters)
{
    WriteFile("[Notes]\r\nA=" + std::string(254, 'x') + "\x83\x41\r\nB=xx\x83\x41\x83\x41\r\n");
    char Buffer[256];
    memset(Buffer, 0, sizeof Buffer);
    EXPECT_EQ(GetPrivateProfileStringA("Notes", "A", "", Buffer, sizeof Buffer, Path_.c_str()),
              255u);
    EXPECT_EQ(std::string(Buffer), std::string(254, 'x'));
    char Small[6];
    memset(Small, 0, sizeof Small);
    EXPECT_EQ(GetPrivateProfileStringA("Notes", "B", "", Small, sizeof Small, Path_.c_str()),
              5u);
    EXPECT_EQ(std::string(Small), "xx\x83\x41");
}

// A file that is not there reads as empty, and deleting from it succeeds without creating it.
TEST(ProfileApiMissingFile, ReadsDefaultAndDeleteCreatesNothing)
{
    fs::path Path = fs::temp_directory_path() / "profile-api-missing" / "absent.ini";
    fs::create_directories(Path.parent_path());
    fs::remove(Path);
    char Buffer[16];
    EXPECT_EQ(GetPrivateProfileStringA("Notes", "A", "dflt", Buffer, sizeof Buffer,
                                       Path.string().c_str()),
              4u);
    EXPECT_STREQ(Buffer, "dflt");
    EXPECT_TRUE(WritePrivateProfileStringA("Notes", "A", nullptr, Path.string().c_str()));
    EXPECT_FALSE(fs::exists(Path));
    fs::remove_all(Path.parent_path());
}

}  // namespace
