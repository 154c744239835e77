// The fast paths behind the benchmarks must answer exactly what the plain ones answer: the
// section index against a scan of the content, and the file layer's reuse of its cached copy
// against files that change between a lookup and a write.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/profile-file.h"
#include "platform/profile.h"

namespace {

namespace fs = std::filesystem;

// Pieces that the parser treats specially, so random files hit headers without ']', blanks
// around names, NUL bytes, every line ending, quotes and names that differ only in case.
const char* const kPieces[] = {
    "[s]",  "[S]",  "[ s ]", "[x]",  "[a]b]", "[s",   "[",   "]",  "=",  " ",  "\t", "\x0b",
    "\x1a", "\r",   "\n",    "\r\n", "\n\r",  "k",    "K",   "kk", "a",  "A",  ";k", "\"",
    "'",    "v",    "1",     "\xA0", "\x83\x5C", "k=v", "K = w", "=", "[s]\r\n", "\n[s]\n",
};

std::string RandomContent(std::mt19937& Random)
{
    std::string Content;
    switch (Random() % 8) {
    case 0: Content = "\xEF\xBB\xBF"; break;
    case 1: Content = "\xFF\xFE"; break;
    default: break;
    }
    size_t Pieces = Random() % 40;
    for (size_t Index = 0; Index < Pieces; Index++) {
        if (Random() % 50 == 0) {
            Content.push_back('\0');
        } else {
            Content += kPieces[Random() % (sizeof kPieces / sizeof kPieces[0])];
        }
    }
    return Content;
}

TEST(SectionIndex, AnswersAsScansDoOnRandomFiles)
{
    const char* const Sections[] = {"s", "S", "x", "a]b", "", "missing"};
    const char* const Keys[] = {"k", "K", "kk", "a", "A", ";k", "", " k", "k ", "v", "[s", "="};
    std::mt19937 Random(20261208);
    for (int Round = 0; Round < 4000; Round++) {
        std::string Content = RandomContent(Random);
        for (const char* Section : Sections) {
            profile::SectionIndex Index(Content, Section);
            for (const char* Key : Keys) {
                ASSERT_EQ(Index.FindValue(Key), profile::FindValue(Content, Section, Key))
                    << "section [" << Section << "] key [" << Key << "] in\n" << Content;
                char Got[4];
                char Expected[4];
                ASSERT_EQ(Index.ReadString(Key, "dflt", Got, sizeof Got),
                          profile::ReadString(Content, Section, Key, "dflt", Expected,
                                              sizeof Expected));
                ASSERT_STREQ(Got, Expected);
            }
        }
    }
}

// The index keeps only the first line of each hash; a key whose hash an earlier, different name
// already took must still be found. This is the index's hash of a name (eight bytes at a time,
// capitals folded), so that two colliding names can be searched for here; should the index
// change its hash, the names found here no longer collide and the test checks plain lookups.
uint32_t IndexHash(const std::string& Name)
{
    uint64_t Hash = 0x9E3779B97F4A7C15ull ^ Name.size();
    for (size_t Index = 0; Index < Name.size(); Index += 8) {
        uint64_t Word = 0;
        for (size_t Byte = 0; Byte < 8 && Index + Byte < Name.size(); Byte++) {
            char Letter = Name[Index + Byte];
            if (Letter >= 'A' && Letter <= 'Z') Letter = (char)(Letter + 0x20);
            Word |= (uint64_t)(unsigned char)Letter << (8 * Byte);
        }
        Hash = (Hash ^ Word) * 0xFF51AFD7ED558CCDull;
        Hash ^= Hash >> 29;
    }
    return (uint32_t)(Hash ^ (Hash >> 32));
}

TEST(SectionIndex, FindsKeysWhoseHashAnEarlierNameTook)
{
    std::unordered_map<uint32_t, std::string> Seen;
    std::string First;
    std::string Second;
    for (uint32_t Serial = 0; First.empty(); Serial++) {
        std::string Name = "n" + std::to_string(Serial);
        auto Inserted = Seen.emplace(IndexHash(Name), Name);
        if (!Inserted.second) {
            First = Inserted.first->second;
            Second = Name;
        }
    }
    std::string Content = "[s]\r\n" + First + "=1\r\n" + Second + "=2\r\nlast=3\r\n" + Second +
                          "=4\r\n[t]\r\n" + Second + "=5\r\n";
    profile::SectionIndex Index(Content, "s");
    EXPECT_EQ(Index.FindValue(First), std::optional<std::string_view>("1"));
    EXPECT_EQ(Index.FindValue(Second), std::optional<std::string_view>("2"));
    EXPECT_EQ(Index.FindValue("last"), std::optional<std::string_view>("3"));
    profile::SectionIndex Other(Content, "t");
    EXPECT_EQ(Other.FindValue(Second), std::optional<std::string_view>("5"));
    EXPECT_EQ(Other.FindValue(First), std::nullopt);
}

TEST(SectionIndex, LargeSectionWithDuplicatesAndBlankLines)
{
    std::string Content = "[other]\nk5=x\n[Notes]\n";
    for (int Line = 0; Line < 200000; Line++) {
        Content += "key" + std::to_string(Line % 150000) + " = value" + std::to_string(Line) +
                   (Line % 7 ? "\n" : "\r\n\r\n  \n");
    }
    Content += "[next]\nkey1=other\n";
    profile::SectionIndex Index(Content, "notes");
    for (int Line = 0; Line < 200000; Line += 997) {
        std::string Key = "KEY" + std::to_string(Line % 150000);
        ASSERT_EQ(Index.FindValue(Key), profile::FindValue(Content, "Notes", Key)) << Key;
    }
    EXPECT_EQ(Index.FindValue("key149999"), std::optional<std::string_view>("value149999"));
    EXPECT_EQ(Index.FindValue("key150000"), std::nullopt);
}

// --- The file layer's cached copy --------------------------------------------------------------

class CachedCopy : public ::testing::Test {
protected:
    void SetUp() override
    {
        Directory_ = fs::temp_directory_path() /
                     ("vorkap-speed-paths-" + std::to_string((long)getpid()) + "-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Directory_);
        fs::create_directories(Directory_);
        Path_ = (Directory_ / "notes.ini").string();
    }
    void TearDown() override
    {
        std::error_code Ignored;
        fs::remove_all(Directory_, Ignored);
    }

    void Write(const std::string& Content)
    {
        std::ofstream Out(Path_, std::ios::binary | std::ios::trunc);
        Out << Content;
    }
    std::string Read()
    {
        std::ifstream In(Path_, std::ios::binary);
        std::ostringstream Text;
        Text << In.rdbuf();
        return Text.str();
    }
    // Another program changes one byte in place: the size stays, the change time moves on.
    void Poke(off_t Offset, char Byte)
    {
        int Fd = open(Path_.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(Fd, 0);
        ASSERT_EQ(pwrite(Fd, &Byte, 1, Offset), 1);
        close(Fd);
    }
    std::string Lookup(const char* Section, const char* Key)
    {
        char Buffer[256];
        profile::ReadFileString(Path_.c_str(), Section, Key, "<none>", Buffer, sizeof Buffer);
        return Buffer;
    }
    // Lets the file's change time fall behind the file system's clock, as for a file that was
    // written long ago, so that lookups may keep it.
    void Age()
    {
        struct timespec Pause = {0, 30 * 1000 * 1000};
        nanosleep(&Pause, nullptr);
    }

    fs::path Directory_;
    std::string Path_;
};

TEST_F(CachedCopy, WriteAfterLookupsOfAnOldFileEditsThatFile)
{
    const std::string Before = "[Notes]\r\nVIEWEXP5=a\r\nOther=1\r\n\r\n[X]\r\nk=v\r\n";
    Write(Before);
    Age();
    EXPECT_EQ(Lookup("Notes", "VIEWEXP5"), "a");
    EXPECT_EQ(Lookup("Notes", "VIEWEXP6"), "<none>");
    ASSERT_TRUE(profile::WriteFileString(Path_.c_str(), "Notes", "VIEWEXP6", "b"));
    std::string Expected;
    ASSERT_EQ(profile::Edit(Before, "Notes", "VIEWEXP6", "b", Expected),
              profile::EditResult::Changed);
    EXPECT_EQ(Read(), Expected);
    EXPECT_EQ(Lookup("Notes", "VIEWEXP6"), "b");
}

TEST_F(CachedCopy, ChangesOfSameSizeBetweenLookupAndWriteAreSeen)
{
    Write("[Notes]\nA=1\nB=2\n");
    Age();
    EXPECT_EQ(Lookup("Notes", "A"), "1");

    Poke(10, '7');
    EXPECT_EQ(Lookup("Notes", "A"), "7");
    Age();
    EXPECT_EQ(Lookup("Notes", "A"), "7");
    // The copy kept by that lookup is stale by the time of the write.
    Poke(10, '8');
    ASSERT_TRUE(profile::WriteFileString(Path_.c_str(), "Notes", "C", "3"));
    EXPECT_EQ(Read(), "[Notes]\nA=8\nB=2\nC=3\n");
}

TEST_F(CachedCopy, FileReplacedByRenameBetweenLookupAndWrite)
{
    Write("[Notes]\nA=1\n");
    Age();
    EXPECT_EQ(Lookup("Notes", "A"), "1");
    std::string Other = (Directory_ / "other.ini").string();
    {
        std::ofstream Out(Other, std::ios::binary);
        Out << "[Notes]\nA=2\n";
    }
    ASSERT_EQ(rename(Other.c_str(), Path_.c_str()), 0);
    EXPECT_EQ(Lookup("Notes", "A"), "2");
    ASSERT_TRUE(profile::WriteFileString(Path_.c_str(), "Notes", "A", nullptr));
    EXPECT_EQ(Read(), "[Notes]\n");
}

}  // namespace
