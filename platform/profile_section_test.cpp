// The section lookup, behind every read and edit, must answer what the plain model of the read
// rules answers, on random files, on names whose hashes collide, and on large sections.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>

#include "platform/profile-rules.h"
#include "platform/profile_model.h"

namespace {

// Pieces that the parser treats specially, so random files hit headers without ']', blanks
// around names, NUL bytes, every line ending, quotes and names that differ only in case.
const char* const kPieces[] = {
    "[s]",  "[S]",  "[ s ]", "[x]",  "[a]b]", "[s",   "[",   "]",  "=",  " ",  "\t", "\x0b",
    "\x1a", "\r",   "\n",    "\r\n", "\n\r",  "k",    "K",   "kk", "a",  "A",  ";k", "\"",
    "'",    "v",    "1",     "\xA0", "\x83\x5C", "k=v", "K = w", "=", "[s]\r\n", "\n[s]\n",
    "\x83", "\x83\x41", "\x83\x61", "\x83\x5D", "\x83\x5B", "[s\x83]", "\xFA",
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

// Under a one-byte rule and under code page 932, whose pairs hash and match as one character.
class SectionLookupTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        profile::ReadAsCodePage932 = GetParam();
    }
    void TearDown() override { profile::ReadAsCodePage932 = false; }
};

INSTANTIATE_TEST_SUITE_P(Rules, SectionLookupTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& Info) {
                             return std::string(Info.param ? "CodePage932" : "OneByte");
                         });

TEST_P(SectionLookupTest, AnswersAsTheModelOnRandomFiles)
{
    const char* const Sections[] = {"s", "S", "x", "a]b", "", "missing", "s\x83\x41", "s\x83"};
    const char* const Keys[] = {"k", "K", "kk", "a", "A", ";k", "", " k", "k ", "v", "[s", "=",
                                "\x83\x41", "\x83\x61", "\x83" "A", "\x83"};
    std::mt19937 Random(20261208);
    for (int Round = 0; Round < 3000; Round++) {
        std::string Content = RandomContent(Random);
        for (const char* Section : Sections) {
            profile::SectionLookup Index(Content, Section);
            for (const char* Key : Keys) {
                model::ModelResult Expected = model::Model(Content, Section, Key);
                ASSERT_EQ(Index.FindValue(Key), Expected.Read)
                    << "section [" << Section << "] key [" << Key << "] in\n" << Content;
                profile::Location Found = Index.Locate(Key);
                ASSERT_EQ(Found.SectionFound, Expected.SectionFound);
                ASSERT_EQ(Found.KeyFound, Expected.KeyPresent);
                char Got[256];
                profile::CopyResult(Index.FindValue(Key), "dflt", Got, sizeof Got);
                ASSERT_EQ(std::string(Got), Expected.Read.value_or("dflt"));
            }
        }
    }
}

// Names of one hash are told apart by their lines; the first line of each name still wins.
TEST(SectionLookup, TellsApartNamesOfOneHash)
{
    std::unordered_map<uint32_t, std::string> Seen;
    std::string First;
    std::string Second;
    for (uint32_t Serial = 0; First.empty(); Serial++) {
        std::string Name = "n" + std::to_string(Serial);
        auto Inserted = Seen.emplace(profile::HashName(Name), Name);
        if (!Inserted.second) {
            First = Inserted.first->second;
            Second = Name;
        }
    }
    std::string Content = "[s]\r\n" + First + "=1\r\n" + Second + "=2\r\nlast=3\r\n" + Second +
                          "=4\r\n[t]\r\n" + Second + "=5\r\n";
    profile::SectionLookup Index(Content, "s");
    EXPECT_EQ(Index.FindValue(First), std::optional<std::string_view>("1"));
    EXPECT_EQ(Index.FindValue(Second), std::optional<std::string_view>("2"));
    EXPECT_EQ(Index.FindValue("last"), std::optional<std::string_view>("3"));
    profile::SectionLookup Other(Content, "t");
    EXPECT_EQ(Other.FindValue(Second), std::optional<std::string_view>("5"));
    EXPECT_EQ(Other.FindValue(First), std::nullopt);
}

TEST(SectionLookup, LargeSectionWithDuplicatesAndBlankLines)
{
    std::string Content = "[other]\nk5=x\n[Notes]\n";
    for (int Line = 0; Line < 200000; Line++) {
        Content += "key" + std::to_string(Line % 150000) + " = value" + std::to_string(Line) +
                   (Line % 7 ? "\n" : "\r\n\r\n  \n");
    }
    Content += "[next]\nkey1=other\n";
    profile::SectionLookup Index(Content, "notes");
    for (int Line = 0; Line < 200000; Line += 997) {
        std::string Key = "KEY" + std::to_string(Line % 150000);
        ASSERT_EQ(Index.FindValue(Key), model::Model(Content, "Notes", Key).Read) << Key;
    }
    EXPECT_EQ(Index.FindValue("key149999"), std::optional<std::string_view>("value149999"));
    EXPECT_EQ(Index.FindValue("key150000"), std::nullopt);
}

}  // namespace
