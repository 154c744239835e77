// One table of profile-file cases, run against whichever GetPrivateProfileStringA and
// WritePrivateProfileStringA the build has: the native engine, or the real ones on Windows (and
// under Wine). Each case writes a file, applies writes, then checks what reads give back, so
// the two implementations must agree on every answer.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"

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
};

std::string Bytes(const char* Text, size_t Length)
{
    return std::string(Text, Length);
}

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
};

class ProfileApiTest : public ::testing::TestWithParam<ApiCase> {
protected:
    void SetUp() override
    {
        Directory_ = fs::temp_directory_path() /
                     ("profile-api-" + std::string(GetParam().Name) + "-" +
                      std::to_string((unsigned long)std::hash<std::string>()(GetParam().File)));
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

    fs::path Directory_;
    std::string Path_;
};

TEST_P(ProfileApiTest, ReadsAfterWrites)
{
    const ApiCase& Case = GetParam();
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
}

INSTANTIATE_TEST_SUITE_P(Cases, ProfileApiTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ApiCase>& Info) {
                             return std::string(Info.param.Name);
                         });

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
