// The checked profile calls of the Windows program, against the real profile API underneath
// (under Wine in the tests): what a write leaves, and what it refuses, leaving the file's bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/checked-write-win32.h"
#include "platform/platform.h"
// After <windows.h>, which it needs.
#include <sddl.h>
#include "tests/support/bytes.h"
#include "tests/support/case-name.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

const char kMissing[] = "<missing>";

struct Read {
    const char* Section;
    const char* Key;
    const char* Expected;  // kMissing when the read gives the default
};

struct CheckedCase {
    const char* Name;
    std::string File;
    DWORD Attributes;       // set before the write; 0 leaves the file's own
    bool HeldDuringRead;    // another handle without sharing while a read runs, closed after it
    const char* Section;
    const char* Key;
    const char* Value;      // null deletes
    BOOL Expected;          // on FALSE the file's bytes must be as before
    std::vector<Read> Reads;
    // Access rules (DACL, as SDDL; %s: the file's owner) set before; a write keeps them.
    const char* Rules = nullptr;
    bool NothingToChange = false;  // TRUE with no byte written, killed runs' copies left as well
};

const char kNotes[] =
    "[Notes]\r\nVIEWEXP5=Other Format,1,_Other,,.Txt,,1,\r\n[Vorkap]\r\nOutputXML=1\r\n";
const char kEntry[] = "Export HTML Files,1,_Vorkap,,.Htm,,1,";
// Code page 932: 表 (0x95 0x5C), ソ (0x83 0x5C) and 能 (0x94 0x5C) end in the byte of '\'.
const char kJapanese[] = "[Notes]\r\n\x95\x5C\x8E\xA6=\x83\x5C\x94\x5C\r\nVIEWEXP5=\x83\x5C,1,\r\n";

const CheckedCase kCases[] = {
    {"SetKeepsEveryOtherKey", kNotes, 0, false, "Notes", "VIEWEXP6", kEntry, TRUE,
     {{"Notes", "VIEWEXP6", kEntry}, {"Notes", "VIEWEXP5", "Other Format,1,_Other,,.Txt,,1,"},
      {"Vorkap", "OutputXML", "1"}}},
    {"DeleteKeepsEveryOtherKey", kNotes, 0, false, "Vorkap", "OutputXML", nullptr, TRUE,
     {{"Vorkap", "OutputXML", kMissing}, {"Notes", "VIEWEXP5", "Other Format,1,_Other,,.Txt,,1,"}}},
    {"CodePage932NamesAndValues", kJapanese, 0, false, "Notes", "VIEWEXP6", kEntry, TRUE,
     {{"Notes", "\x95\x5C\x8E\xA6", "\x83\x5C\x94\x5C"}, {"Notes", "VIEWEXP5", "\x83\x5C,1,"},
      {"Notes", "VIEWEXP6", kEntry}}},
    {"HiddenFileStaysHidden", kNotes, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE, false,
     "Notes", "VIEWEXP6", kEntry, TRUE, {{"Notes", "VIEWEXP6", kEntry}}},
    {"ReadOnlyFileRefused", kNotes, FILE_ATTRIBUTE_READONLY, false, "Notes", "VIEWEXP6", kEntry,
     FALSE, {}},
    {"HeldDuringReadThenLetGo", kNotes, 0, true, "Notes", "VIEWEXP5", kEntry, FALSE,
     {{"Notes", "VIEWEXP5", "Other Format,1,_Other,,.Txt,,1,"}}},
    // A key written twice in its section: the delete takes the first, and the second then reads.
    {"DeleteOfDuplicatedKey", "[Vorkap]\r\nOutputXML=1\r\nOutputXML=2\r\n", 0, false, "Vorkap",
     "OutputXML", nullptr, TRUE, {{"Vorkap", "OutputXML", "2"}}},
    {"LineBreakInValueRefused", kNotes, 0, false, "Notes", "VIEWEXP6", "x\r\nVIEWEXP5=y", FALSE,
     {}},
    // What Wine's rewrite changes and the program never reads: the lines before the first header,
    // a header "[]" (Wine drops it), a name cut by a NUL after a blank.
    {"WinesRewriteOfUnreadPartsIsNoLoss",
     "Top=0\r\n[Notes]\r\n[]\r\nB=1\r\n[Vorkap]\r\nK \0x=1\r\n"s, 0, false, "Notes", "VIEWEXP6",
     kEntry, TRUE, {{"Notes", "VIEWEXP6", kEntry}}},
    {"AccessRulesKept", kNotes, 0, false, "Notes", "VIEWEXP6", kEntry, TRUE,
     {{"Notes", "VIEWEXP6", kEntry}}, "D:P(A;;FA;;;SY)(A;;FA;;;%s)"},
    {"Utf16FileRefused", std::string("\xFF\xFE[\0N\0]\0\r\0\n\0", 12), 0, false, "Notes", "A", "1",
     FALSE, {}},
    // A read-only file that already says what the write would: done, as the platform's write is.
    {"ReadOnlyFileAlreadySaysIt", kNotes, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE,
     false, "Notes", "VIEWEXP5", "Other Format,1,_Other,,.Txt,,1,", TRUE, {}, nullptr, true},
    {"ReadOnlyFileDeleteOfNothing", kNotes, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE,
     false, "Vorkap", "OutputDocument", nullptr, TRUE, {{"Vorkap", "OutputXML", "1"}}, nullptr,
     true},
};

// Files of this program's killed runs (of this process's id, which cannot be one of its own),
// removed by a run that writes, and files that only look like them, never removed.
struct StaleName {
    std::string Name;
    bool Removed;
};

std::vector<StaleName> StaleNames()
{
    char Hex[16], Decimal[16];
    snprintf(Hex, sizeof Hex, "%lx", (unsigned long)GetCurrentProcessId());
    snprintf(Decimal, sizeof Decimal, "%lu", (unsigned long)GetCurrentProcessId());
    return {
        {".vk"s + Hex + "-99.tmp", true},
        {".notes.ini.vorkap-"s + Decimal + "-99.tmp", true},
        {".vkzz.tmp", false},  // no digits
        {".vk0-1.tmp", false},  // no process has id 0
        {".vk-1.tmp", false},
        {".vk"s + Hex + "-.tmp", false},
        {".vk"s + Hex + "-99x.tmp", false},
        {".vk"s + Hex + "-99.tmp.tmp", false},
        {".notes.ini.vorkap-0-1.tmp", false},
    };
}

using case_name::operator<<;

// The access rules (DACL) of Path, or its owner, as SDDL.
std::string RulesOf(const fs::path& Path, SECURITY_INFORMATION What = DACL_SECURITY_INFORMATION)
{
    char Descriptor[4096];
    DWORD Needed = 0;
    char* Text = nullptr;
    if (!GetFileSecurityA(Path.string().c_str(), What, Descriptor, sizeof Descriptor, &Needed) ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorA(Descriptor, SDDL_REVISION_1, What,
                                                              &Text, nullptr))
        return "<unreadable>";
    std::string Rules = Text;
    LocalFree(Text);
    return Rules;
}

std::string ReadKey(const char* Section, const char* Key, const fs::path& Path)
{
    char Buffer[256] = "";
    GetPrivateProfileStringA(Section, Key, kMissing, Buffer, sizeof Buffer, Path.string().c_str());
    return Buffer;
}

class CheckedWriteTest : public ::testing::TestWithParam<CheckedCase> {
protected:
    static void SetUpTestSuite() { PlatformStartup(); }
};

TEST_P(CheckedWriteTest, WritesWholeOrNothing)
{
    const CheckedCase& Case = GetParam();
    ASSERT_EQ(GetACP(), 932u);
    fs::path Directory = fs::temp_directory_path() / "vorkap-checked" / Case.Name;
    fs::remove_all(Directory);
    fs::create_directories(Directory);
    fs::path Ini = Directory / "notes.ini";
    WriteBytes(Ini, Case.File);
    std::vector<StaleName> Stale = StaleNames();
    for (const StaleName& Each : Stale) WriteBytes(Directory / Each.Name, "[Notes]\r\n");
    // One in the temporary folder too, where a killed run may have staged its copy.
    fs::path StaleInTemporary = fs::temp_directory_path() / Stale.front().Name;
    WriteBytes(StaleInTemporary, "[Notes]\r\n");
    if (Case.Attributes) {
        ASSERT_TRUE(SetFileAttributesA(Ini.string().c_str(), Case.Attributes));
    }
    if (Case.Rules) {
        char Wanted[256];
        snprintf(Wanted, sizeof Wanted, Case.Rules,
                 RulesOf(Ini, OWNER_SECURITY_INFORMATION).substr(2).c_str());  // after "O:"
        PSECURITY_DESCRIPTOR Rules = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
            Wanted, SDDL_REVISION_1, &Rules, nullptr));
        ASSERT_TRUE(SetFileSecurityA(Ini.string().c_str(), DACL_SECURITY_INFORMATION, Rules));
        LocalFree(Rules);
    }
    // As the file system holds them (Wine keeps them as the file's mode).
    std::string RulesBefore = RulesOf(Ini);

    HANDLE Held = INVALID_HANDLE_VALUE;
    if (Case.HeldDuringRead) {
        Held = CreateFileA(Ini.string().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(Held, INVALID_HANDLE_VALUE);
    }
    std::string Before = ReadKey("Notes", "VIEWEXP5", Ini);
    if (Held != INVALID_HANDLE_VALUE) {
        EXPECT_EQ(Before, kMissing);
        CloseHandle(Held);
    }

    EXPECT_EQ(WritePrivateProfileStringA(Case.Section, Case.Key, Case.Value, Ini.string().c_str()),
              Case.Expected);
    if (!Case.Expected) {
        EXPECT_EQ(ReadBytes(Ini), Case.File);
    }
    for (const Read& Each : Case.Reads)
        EXPECT_EQ(ReadKey(Each.Section, Each.Key, Ini), Each.Expected) << Each.Key;
    if (Case.Attributes && Case.Expected) {
        EXPECT_EQ(GetFileAttributesA(Ini.string().c_str()), Case.Attributes);
    }
    if (Case.Rules) {
        EXPECT_EQ(RulesOf(Ini), RulesBefore);
    }
    if (Case.NothingToChange) {
        EXPECT_EQ(ReadBytes(Ini), Case.File);
    }
    // A write removes what killed runs left, beside the file and in the temporary folder, by
    // their exact names; a refused one may not get that far. Its own file is never left.
    bool Wrote = Case.Expected && !Case.NothingToChange;
    for (const StaleName& Each : Stale)
        EXPECT_EQ(fs::exists(Directory / Each.Name), !(Each.Removed && Wrote)) << Each.Name;
    EXPECT_EQ(fs::exists(StaleInTemporary), !Wrote);
    fs::remove(StaleInTemporary);
    std::vector<std::string> Left;
    for (const std::string& Each : Leftovers(Directory))
        if (std::none_of(Stale.begin(), Stale.end(),
                         [&](const StaleName& Named) { return Named.Name == Each; }))
            Left.push_back(Each);
    EXPECT_TRUE(Left.empty()) << Left.front();
    if (Case.Attributes) SetFileAttributesA(Ini.string().c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(Directory);
}

INSTANTIATE_TEST_SUITE_P(Cases, CheckedWriteTest, ::testing::ValuesIn(kCases), CaseName());

}  // namespace
