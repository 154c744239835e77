// The native stand-ins: the file search, the executable's path and the lead-byte rule.
#include "platform/platform-posix.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "profile/profile.h"
#include "tests/support/case-name.h"

// GCC takes the free() below for one of memory that new gave, which this operator new did not.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// While set, every allocation of the process fails, as when memory runs out.
static bool FailAllocations = false;

void* operator new(size_t Size)
{
    void* Block = FailAllocations ? nullptr : malloc(Size ? Size : 1);
    if (!Block) throw std::bad_alloc();
    return Block;
}
void operator delete(void* Block) noexcept { free(Block); }
void operator delete(void* Block, size_t) noexcept { operator delete(Block); }

namespace {

namespace fs = std::filesystem;

struct SearchCase {
    const char* Name;
    std::vector<std::string> FilesInFirst;
    std::vector<std::string> FilesInSecond;
    std::string Expected;  // "first/NAME", "second/NAME", or "" for not found
};

using case_name::operator<<;

const SearchCase kSearches[] = {
    {"ExactInFirst", {"notes.ini"}, {"notes.ini"}, "first/notes.ini"},
    {"OnlyInSecond", {"other.ini"}, {"notes.ini"}, "second/notes.ini"},
    {"OtherCaseWhereExactAbsent", {"NOTES.INI"}, {}, "first/NOTES.INI"},
    {"ExactPreferredToOtherCase", {"Notes.ini", "notes.ini"}, {}, "first/notes.ini"},
    {"OtherCaseInFirstBeatsExactInSecond", {"Notes.Ini"}, {"notes.ini"}, "first/Notes.Ini"},
    {"LowestOtherCaseNameWins", {"notes.INI", "NOTES.ini"}, {}, "first/NOTES.ini"},
    {"SimilarNamesDoNotMatch", {"notes.ini.bak", "notes.in", "xnotes.ini"}, {}, ""},
    {"NowhereAtAll", {}, {}, ""},
};

class SearchTest : public ::testing::TestWithParam<SearchCase> {
protected:
    void SetUp() override
    {
        Root_ = fs::temp_directory_path() /
                ("vorkap-search-" + std::to_string(getpid()) + "-" + GetParam().Name);
        fs::remove_all(Root_);
        fs::create_directories(Root_ / "first");
        fs::create_directories(Root_ / "second");
    }
    void TearDown() override { fs::remove_all(Root_); }
    fs::path Root_;
};

TEST_P(SearchTest, FindsFirstHitInOrder)
{
    const SearchCase& Case = GetParam();
    for (const std::string& Name : Case.FilesInFirst) std::ofstream(Root_ / "first" / Name);
    for (const std::string& Name : Case.FilesInSecond) std::ofstream(Root_ / "second" / Name);
    std::string Found = FindInDirectories(
        {"", (Root_ / "missing").string(), (Root_ / "first").string(), (Root_ / "second").string()},
        "notes.ini");
    EXPECT_EQ(Found, Case.Expected.empty() ? "" : (Root_ / Case.Expected).string());
}

INSTANTIATE_TEST_SUITE_P(Cases, SearchTest, ::testing::ValuesIn(kSearches), CaseName());

// A result that does not fit gives the size it needs and leaves the buffer as it was.
TEST(SearchPath, ResultThatDoesNotFit)
{
    fs::path Directory = fs::temp_directory_path() / ("vorkap-fit-" + std::to_string(getpid()));
    fs::create_directories(Directory);
    std::ofstream(Directory / "probe.ini");
    std::string Full = (Directory / "probe.ini").string();

    char Buffer[PLATFORM_PATH_LIMIT];
    LPSTR FilePart = nullptr;
    fs::path Saved = fs::current_path();
    fs::current_path(Directory);
    EXPECT_EQ(SearchPathA(nullptr, "probe.ini", nullptr, sizeof Buffer, Buffer, &FilePart),
              Full.size());
    EXPECT_EQ(std::string(Buffer), Full);
    EXPECT_STREQ(FilePart, "probe.ini");

    memset(Buffer, 'z', sizeof Buffer);
    DWORD Size = (DWORD)Full.size();
    EXPECT_EQ(SearchPathA(nullptr, "probe.ini", nullptr, Size, Buffer, &FilePart),
              Full.size() + 1);
    EXPECT_EQ(Buffer[0], 'z');
    EXPECT_EQ(SearchPathA(nullptr, "absent.ini", nullptr, sizeof Buffer, Buffer, &FilePart),
              0u);
    fs::current_path(Saved);
    fs::remove_all(Directory);
}

TEST(ModuleFileName, CutPathReturnsFullBufferSize)
{
    char Full[PLATFORM_PATH_LIMIT];
    DWORD Length = GetModuleFileNameA(nullptr, Full, sizeof Full);
    ASSERT_GT(Length, 4u);
    EXPECT_EQ(Full[0], '/');
    EXPECT_EQ(Length, strlen(Full));

    char Small[4];
    EXPECT_EQ(GetModuleFileNameA(nullptr, Small, sizeof Small), sizeof Small);
    EXPECT_EQ(std::string(Small), std::string(Full, 3));
}

TEST(LeadBytes, CodePage932AndLocale)
{
    EXPECT_TRUE(IsDBCSLeadByteEx(932, 0x81));
    EXPECT_TRUE(IsDBCSLeadByteEx(932, 0x9F));
    EXPECT_TRUE(IsDBCSLeadByteEx(932, 0xE0));
    EXPECT_TRUE(IsDBCSLeadByteEx(932, 0xFC));
    EXPECT_FALSE(IsDBCSLeadByteEx(932, 0x5C));
    EXPECT_FALSE(IsDBCSLeadByteEx(932, 0xA0));  // half-width katakana are single bytes
    EXPECT_FALSE(IsDBCSLeadByteEx(932, 0xFD));
    EXPECT_FALSE(IsDBCSLeadByteEx(1252, 0x81));

    // Under UTF-8, as in Windows' code page 65001, no byte is a lead byte, and ASCII letters
    // after a byte 0x80 or above still fold.
    std::string Saved = setlocale(LC_CTYPE, nullptr);
    setenv("LC_ALL", "C.UTF-8", 1);
    PlatformStartup();
    for (int Byte = 0; Byte < 256; Byte++) EXPECT_FALSE(IsDBCSLeadByteEx(CP_ACP, (BYTE)Byte));
    EXPECT_EQ(profile::FindValue("[N]\n\xC3" "A=1\n", "N", "\xC3" "a", GetACP()),
              std::optional<std::string_view>("1"));

    // Under Shift_JIS the lead bytes are exactly code page 932's, rows 0xEB-0xFC included.
    setenv("LC_ALL", "ja_JP.SJIS", 1);
    PlatformStartup();
    for (int Byte = 0; Byte < 256; Byte++) {
        EXPECT_EQ(IsDBCSLeadByteEx(CP_ACP, (BYTE)Byte), IsDBCSLeadByteEx(932, (BYTE)Byte)) << Byte;
    }
    setenv("LC_ALL", "C", 1);
    PlatformStartup();
    EXPECT_FALSE(IsDBCSLeadByteEx(CP_ACP, 0x81));
    unsetenv("LC_ALL");
    setlocale(LC_CTYPE, Saved.c_str());
}

// Out of memory: each call that the program makes outside the profile calls still does its part,
// without throwing, while every allocation fails.
struct OutOfMemoryCase {
    const char* Name;
    DWORD (*Call)();
    DWORD Result;
    const char* Stdout;
    const char* Stderr;
};

const OutOfMemoryCase kOutOfMemory[] = {
    {"MessageOnStandardOutput",
     [] { WriteStandardOutput("\x93\x6F\x98\x5E"); return DWORD(0); }, 0, "\x93\x6F\x98\x5E", ""},
    {"MessageBox",
     [] { return (DWORD)MessageBoxA(nullptr, "\x93\x6F", "Talvenor", MB_ICONERROR); }, IDOK, "",
     "[Talvenor] error\n\x93\x6F\n"},
    {"HelpTopic", [] { return (DWORD)WinHelpA(nullptr, "nVorkap.hlp", HELP_CONTEXT, 123); },
     TRUE, "", "help: nVorkap.hlp: topic 123\n"},
    {"SearchFindsNothing",
     [] {
         char Found[PLATFORM_PATH_LIMIT];
         return SearchPathA(nullptr, "notes.ini", nullptr, sizeof Found, Found, nullptr);
     },
     0, "", ""},
    {"ModuleFileName",
     [] {
         char Path[PLATFORM_PATH_LIMIT];
         return GetModuleFileNameA(nullptr, Path, sizeof Path);
     },
     0, "", ""},
};

TEST(OutOfMemory, CallsStillDoTheirPart)
{
    if (isatty(STDIN_FILENO)) GTEST_SKIP() << "a message box would wait for Enter";
    for (const OutOfMemoryCase& Case : kOutOfMemory) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        FailAllocations = true;
        DWORD Result = Case.Call();
        fflush(stdout);
        FailAllocations = false;
        std::string Out = testing::internal::GetCapturedStdout();
        std::string Err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(Result, Case.Result) << Case.Name;
        EXPECT_EQ(Out, Case.Stdout) << Case.Name;
        EXPECT_EQ(Err, Case.Stderr) << Case.Name;
    }
}

}  // namespace
