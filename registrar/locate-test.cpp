// The executable's directory, split from its path with the lead-byte rule of a given code page.
#include "registrar/locate.h"
#include "tests/support/case-name.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct SplitCase {
    const char* Name;
    const char* ModulePath;
    unsigned int CodePage;
    const char* Expected;
};

// 0x95 0x5C is a kanji and 0x83 0x5C a katakana in code page 932: their second byte is a
// backslash, which must not end the directory. 1252 has no lead bytes, so there it does.
const SplitCase kSplits[] = {
    {"DriveAndDirectory", "C:\\Notes\\vorkap-setup.exe", 932, "C:\\Notes\\"},
    {"RootOfDrive", "C:\\vorkap-setup.exe", 932, "C:\\"},
    {"NetworkPathKeepsLeadingSeparators", "\\\\server\\share\\notes\\setup.exe", 932,
     "\\\\server\\share\\notes\\"},
    {"SlashSeparators", "/opt/notes/vorkap-setup", 932, "/opt/notes/"},
    {"MixedSeparators", "C:/Notes\\sub/setup.exe", 932, "C:/Notes\\sub/"},
    {"NoDirectory", "setup.exe", 932, ""},
    {"DriveWithoutDirectory", "C:setup.exe", 932, "C:"},
    {"TrailBackslashInDirectoryName", "C:\\\x83\x5C\x83t\x83g\\setup.exe", 932,
     "C:\\\x83\x5C\x83t\x83g\\"},
    {"TrailBackslashEndsFileName", "C:\\Notes\\\x95\x5C.exe", 932, "C:\\Notes\\"},
    {"TrailBackslashCountsWithoutLeadBytes", "C:\\Notes\\\x95\x5C.exe", 1252,
     "C:\\Notes\\\x95\x5C"},
    {"TrailSlashInDirectoryName", "/opt/a\x81/b/setup", 932, "/opt/a\x81/b/"},
    {"TrailSlashEndsFileName", "/opt/a/b\x81/setup", 932, "/opt/a/"},
    {"LeadByteAtEnd", "C:\\Notes\\\x95", 932, "C:\\Notes\\"},
};

using case_name::operator<<;

class StartDirectoryTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(StartDirectoryTest, SplitsWithLeadByteRule)
{
    const SplitCase& Case = GetParam();
    char StartDirectory[PLATFORM_PATH_LIMIT];
    ASSERT_EQ(MakeStartDirectory(Case.ModulePath, Case.CodePage, StartDirectory,
                                 sizeof StartDirectory),
              1);
    EXPECT_EQ(std::string(StartDirectory), Case.Expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, StartDirectoryTest, ::testing::ValuesIn(kSplits), CaseName());

// A directory that does not fit is never cut: the answer is no, with an empty result.
TEST(StartDirectory, NeverCut)
{
    char Small[8];
    EXPECT_EQ(MakeStartDirectory("C:\\Notes\\setup.exe", 932, Small, sizeof Small), 0);
    EXPECT_STREQ(Small, "");
    char Exact[10];
    EXPECT_EQ(MakeStartDirectory("C:\\Notes\\setup.exe", 932, Exact, sizeof Exact), 1);
    EXPECT_STREQ(Exact, "C:\\Notes\\");
}

}  // namespace
