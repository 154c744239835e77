// The built program, run end to end: copied into a scratch Notes directory and started from
// elsewhere, as a user or a script would. Each case checks the exit status, the exact bytes on
// standard output and standard error, and the exact bytes of notes.ini afterwards.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "tests/support/case-name.h"
#include "tests/support/child.h"
#include "tests/support/expected.h"
#include "tests/support/scratch.h"

namespace {

namespace fs = std::filesystem;
using namespace expected;

// A scratch Notes directory with the program copied into it, open to an unprivileged user. The
// program is started from the root directory, so it must find its own directory itself.
class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Root_ = Scratch_.Path();
        NotesDirectory_ = Root_ / "Notes";
        fs::create_directories(NotesDirectory_);
        fs::permissions(NotesDirectory_, fs::perms::all);
        Program_ = NotesDirectory_ / "vorkap-setup";
        CopyExecutable(VORKAP_SETUP_BINARY, Program_);
        NotesIni_ = NotesDirectory_ / "notes.ini";
    }
    RunResult RunProgram(RunOptions Options)
    {
        Options.Directory = "/";
        return RunChild(Program_, Options);
    }
    RunResult RunProgram(const std::vector<std::string>& Arguments)
    {
        RunOptions Options;
        Options.Arguments = Arguments;
        return RunProgram(Options);
    }

    ScratchDirectory Scratch_;
    fs::path Root_;
    fs::path NotesDirectory_;
    fs::path Program_;
    fs::path NotesIni_;
};

struct ProgramCase {
    const char* Name;
    std::vector<std::string> Arguments;
    std::optional<std::string> Before;  // notes.ini, or none
    int Status;
    std::string Out;
    std::string Err;
    std::optional<std::string> After;  // notes.ini afterwards, or none when it must not exist
};

std::string Slots(int From, int To, const std::string& Prefix = "Other")
{
    std::string Lines;
    for (int Slot = From; Slot <= To; Slot++) {
        Lines += "VIEWEXP" + std::to_string(Slot) + "=" + Prefix + std::to_string(Slot) +
                 ",1,_Other,,.x,,1,\r\n";
    }
    return Lines;
}

const std::string kPlain = "[Notes]\r\nDirectory=C:\\notes\\data\r\n";
const std::string kRegistered = std::string("[Notes]\r\nVIEWEXP5=") + kEntry + "\r\n";
const std::string kFullNotes = "[Notes]\r\n" + Slots(5, 31);
const std::string kSettings = "[Vorkap]\r\nOutputDocument=1\r\nOutputXML=0\r\nKeep=1\r\n";

const ProgramCase kCases[] = {
    // Options, the one message, the help call, the exit status.
    {"NoArgumentsRegisters", {}, kPlain, 0, "", kInfoBox + TEXT_REGISTERED "\n" + kHelpContents,
     kPlain + "VIEWEXP5=" + kEntry + "\r\n"},
    {"LowerCaseUnregisters", {"/u"}, kRegistered, 0, "", kInfoBox + TEXT_REMOVED "\n",
     "[Notes]\r\n"},
    {"UnregisterToStandardOutput", {"/U", "/I"}, kRegistered, 0, TEXT_REMOVED, "", "[Notes]\r\n"},
    {"OptionsInAnyOrderAndCase", {"/i", "/U"}, kRegistered, 0, TEXT_REMOVED, "", "[Notes]\r\n"},
    {"StandardOutputStillOpensHelp", {"/I"}, kPlain, 0, TEXT_REGISTERED, kHelpContents,
     kPlain + "VIEWEXP5=" + kEntry + "\r\n"},
    {"RepeatedOptions", {"/I", "/i", "/u", "/U"}, kRegistered, 0, TEXT_REMOVED, "", "[Notes]\r\n"},
    {"OtherArgumentsIgnored", {"/X", "-U", "/Uninstall", "/IU", "U", ""}, kPlain, 0, "",
     kInfoBox + TEXT_REGISTERED "\n" + kHelpContents, kPlain + "VIEWEXP5=" + kEntry + "\r\n"},
    {"MissingNotesIni", {}, std::nullopt, 1, "", kErrorBox + TEXT_NOT_FOUND "\n" + kHelpTopic,
     std::nullopt},
    {"MissingNotesIniOnRemoval", {"/U", "/I"}, std::nullopt, 1, TEXT_NOT_FOUND, kHelpTopic,
     std::nullopt},
    {"RemovalWithNothingRegistered", {"/U", "/I"}, kPlain, 0, TEXT_REMOVED, "", kPlain},

    // Where the entry goes, and what removal takes.
    {"NoNotesSectionAddsIt", {"/I"}, "[Other]\r\nA=1", 0, TEXT_REGISTERED, kHelpContents,
     std::string("[Other]\r\nA=1\r\n[Notes]\r\nVIEWEXP5=") + kEntry + "\r\n"},
    {"FirstEmptySlotAfterOthers", {"/I"}, "[Notes]\r\n" + Slots(5, 6) + "VIEWEXP8=x\r\n", 0,
     TEXT_REGISTERED, kHelpContents,
     "[Notes]\r\n" + Slots(5, 6) + "VIEWEXP8=x\r\nVIEWEXP7=" + kEntry + "\r\n"},
    {"PresentEmptySlotIsFilled", {"/I"}, "[Notes]\r\n" + Slots(5, 8) + "VIEWEXP9=\r\nZ=1\r\n", 0,
     TEXT_REGISTERED, kHelpContents,
     "[Notes]\r\n" + Slots(5, 8) + "VIEWEXP9=" + kEntry + "\r\nZ=1\r\n"},
    {"UpperCaseEntryRewrittenInItsSlot", {"/I"},
     "[Notes]\r\n" + Slots(5, 5) + "VIEWEXP6=\r\nVIEWEXP12=EXPORT HTML FILES,1,_VORKAP,,.HTM,,1,\r\n",
     0, TEXT_REGISTERED, kHelpContents,
     "[Notes]\r\n" + Slots(5, 5) + "VIEWEXP6=\r\nVIEWEXP12=" + kEntry + "\r\n"},
    {"UpperCaseEntryRemoved", {"/I", "/U"},
     "[Notes]\r\nVIEWEXP6=\r\nVIEWEXP12=EXPORT HTML FILES,1,_VORKAP,,.HTM,,1,\r\n", 0,
     TEXT_REMOVED, "", "[Notes]\r\nVIEWEXP6=\r\n"},
    {"OneCommaAfterNameDoesNotMatch", {"/I"}, "[Notes]\r\nVIEWEXP5=Mine,1,_Vorkap,.Htm,,1,\r\n", 0,
     TEXT_REGISTERED, kHelpContents,
     std::string("[Notes]\r\nVIEWEXP5=Mine,1,_Vorkap,.Htm,,1,\r\nVIEWEXP6=") + kEntry + "\r\n"},
    {"MarkerInsideOtherTextMatches", {"/I"}, "[Notes]\r\nVIEWEXP5=a\r\nVIEWEXP6=Old,2,_vorkap,,x\r\n",
     0, TEXT_REGISTERED, kHelpContents,
     std::string("[Notes]\r\nVIEWEXP5=a\r\nVIEWEXP6=") + kEntry + "\r\n"},
    {"SlotBelowFiveIsNeverSeen", {"/I"}, std::string("[Notes]\r\nVIEWEXP3=") + kEntry + "\r\n", 0,
     TEXT_REGISTERED, kHelpContents,
     std::string("[Notes]\r\nVIEWEXP3=") + kEntry + "\r\nVIEWEXP5=" + kEntry + "\r\n"},
    {"RemovalLeavesSlotBelowFive", {"/I", "/U"}, std::string("[Notes]\r\nVIEWEXP3=") + kEntry + "\r\n",
     0, TEXT_REMOVED, "", std::string("[Notes]\r\nVIEWEXP3=") + kEntry + "\r\n"},
    {"TwoMarkedSlotsRewriteLowerOnly", {"/I"},
     "[Notes]\r\nVIEWEXP7=a,_vorkap,,\r\nVIEWEXP9=b,_vorkap,,\r\n", 0, TEXT_REGISTERED,
     kHelpContents,
     std::string("[Notes]\r\nVIEWEXP7=") + kEntry + "\r\nVIEWEXP9=b,_vorkap,,\r\n"},
    {"TwoMarkedSlotsRemoveLowerOnly", {"/I", "/U"},
     "[Notes]\r\nVIEWEXP7=a,_vorkap,,\r\nVIEWEXP9=b,_vorkap,,\r\n", 0, TEXT_REMOVED, "",
     "[Notes]\r\nVIEWEXP9=b,_vorkap,,\r\n"},
    {"RemovalDeletesSettingsEvenWithoutEntry", {"/I", "/U"}, kFullNotes + kSettings, 0,
     TEXT_REMOVED, "", kFullNotes + "[Vorkap]\r\nKeep=1\r\n"},
    {"RemovalTakesEntryAndSettings", {"/I", "/U"}, kRegistered + "\r\n" + kSettings, 0,
     TEXT_REMOVED, "", "[Notes]\r\n\r\n[Vorkap]\r\nKeep=1\r\n"},
    {"FoldingIsForSearchOnly", {"/I"}, "[Notes]\r\nVIEWEXP5=\x83\x41\x83\x5A,1,_X,,\r\n", 0,
     TEXT_REGISTERED, kHelpContents,
     std::string("[Notes]\r\nVIEWEXP5=\x83\x41\x83\x5A,1,_X,,\r\nVIEWEXP6=") + kEntry + "\r\n"},
    {"RegisteringTwiceLeavesOneEntry", {"/I"}, kRegistered, 0, TEXT_REGISTERED, kHelpContents,
     kRegistered},

    // No free slot: nothing is written, and the run says so.
    {"AllSlotsTakenWritesNothing", {"/I"}, kFullNotes, 3, TEXT_NO_SLOT, "", kFullNotes},
    {"AllSlotsTakenInBox", {}, kFullNotes, 3, "", kErrorBox + TEXT_NO_SLOT "\n", kFullNotes},
};

using case_name::operator<<;

class ProgramCaseTest : public ProgramTest, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(ProgramCaseTest, Run)
{
    const ProgramCase& Case = GetParam();
    if (Case.Before) WriteBytes(NotesIni_, *Case.Before);
    RunResult Result = RunProgram(Case.Arguments);
    EXPECT_EQ(Result.Status, Case.Status);
    EXPECT_EQ(Result.Out, Case.Out);
    EXPECT_EQ(Result.Err, Case.Err);
    if (Case.After) {
        EXPECT_EQ(ReadBytes(NotesIni_), *Case.After);
    } else {
        EXPECT_FALSE(fs::exists(NotesIni_));
    }
    // Nothing else is left in the Notes directory: no temporary file, no other profile.
    EXPECT_EQ(ListDirectory(NotesDirectory_).size(), Case.After ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramCaseTest, ::testing::ValuesIn(kCases), CaseName());

// A notes.ini that cannot be written: the failure is reported, not success, and nothing changes.
TEST_F(ProgramTest, UnwritableNotesIniReportsFailure)
{
    const std::string Before = kRegistered + kSettings;
    for (const std::vector<std::string>& Arguments :
         {std::vector<std::string>{"/I"}, std::vector<std::string>{"/I", "/U"}}) {
        WriteBytes(NotesIni_, kPlain);
        if (Arguments.size() == 2) WriteBytes(NotesIni_, Before);
        fs::permissions(NotesIni_, fs::perms::owner_read | fs::perms::group_read |
                                       fs::perms::others_read);
        std::string Expected = ReadBytes(NotesIni_);
        RunOptions Options;
        Options.Arguments = Arguments;
        Options.AsNobody = true;
        RunResult Result = RunProgram(Options);
        EXPECT_EQ(Result.Status, 2);
        EXPECT_EQ(Result.Out, TEXT_WRITE_FAILED);
        EXPECT_EQ(Result.Err, "") << "no help after a failure";
        EXPECT_EQ(ReadBytes(NotesIni_), Expected);
        fs::remove(NotesIni_);
    }
}

TEST_F(ProgramTest, UnwritableNotesIniInBox)
{
    WriteBytes(NotesIni_, kPlain);
    fs::permissions(NotesIni_, fs::perms::owner_read | fs::perms::group_read |
                                   fs::perms::others_read);
    RunOptions Options;
    Options.AsNobody = true;
    RunResult Result = RunProgram(Options);
    EXPECT_EQ(Result.Status, 2);
    EXPECT_EQ(Result.Out, "");
    EXPECT_EQ(Result.Err, kErrorBox + TEXT_WRITE_FAILED "\n");
    EXPECT_EQ(ReadBytes(NotesIni_), kPlain);
}

// The search: the executable's directory first, then the current one (the same, once the
// program has made it current), then PATH; a name that differs only in case is found too.
TEST_F(ProgramTest, FoundThroughPathWhenNotBesideProgram)
{
    fs::path Elsewhere = Root_ / "elsewhere";
    fs::create_directories(Elsewhere);
    WriteBytes(Elsewhere / "notes.ini", kPlain);
    RunOptions Options;
    Options.Arguments = {"/I"};
    Options.Path = "/nonexistent:" + Elsewhere.string() + ":/usr/bin";
    RunResult Result = RunProgram(Options);
    EXPECT_EQ(Result.Status, 0);
    EXPECT_EQ(Result.Out, TEXT_REGISTERED);
    EXPECT_EQ(ReadBytes(Elsewhere / "notes.ini"), kPlain + "VIEWEXP5=" + kEntry + "\r\n");
}

TEST_F(ProgramTest, BesideProgramWinsOverPath)
{
    fs::path Elsewhere = Root_ / "elsewhere";
    fs::create_directories(Elsewhere);
    WriteBytes(Elsewhere / "notes.ini", kPlain);
    WriteBytes(NotesIni_, kPlain);
    RunOptions Options;
    Options.Arguments = {"/I"};
    Options.Path = Elsewhere.string();
    EXPECT_EQ(RunProgram(Options).Status, 0);
    EXPECT_EQ(ReadBytes(NotesIni_), kPlain + "VIEWEXP5=" + kEntry + "\r\n");
    EXPECT_EQ(ReadBytes(Elsewhere / "notes.ini"), kPlain);
}

TEST_F(ProgramTest, NameInOtherCaseIsFound)
{
    fs::path Upper = NotesDirectory_ / "NOTES.INI";
    WriteBytes(Upper, kPlain);
    RunOptions Options;
    Options.Arguments = {"/I"};
    RunResult Result = RunProgram(Options);
    EXPECT_EQ(Result.Status, 0);
    EXPECT_EQ(ReadBytes(Upper), kPlain + "VIEWEXP5=" + kEntry + "\r\n");
    EXPECT_FALSE(fs::exists(NotesIni_));
}

// Writes through a symbolic link land in the file it names; the link stays.
TEST_F(ProgramTest, SymbolicLinkedNotesIni)
{
    fs::path Real = Root_ / "data" / "notes.ini";
    fs::create_directories(Real.parent_path());
    WriteBytes(Real, kPlain);
    fs::create_symlink(Real, NotesIni_);
    RunOptions Options;
    Options.Arguments = {"/I"};
    EXPECT_EQ(RunProgram(Options).Status, 0);
    EXPECT_TRUE(fs::is_symlink(NotesIni_));
    EXPECT_EQ(ReadBytes(Real), kPlain + "VIEWEXP5=" + kEntry + "\r\n");
}

// At a terminal the stand-in box waits for Enter, its OK button, and the help opens only after it.
TEST_F(ProgramTest, BoxAtTerminalWaitsForOk)
{
    WriteBytes(NotesIni_, kPlain);
    RunOptions Options;
    Options.In = Input::Terminal;
    Options.Directory = "/";
    Child Running = StartChild(Program_, Options);
    EXPECT_TRUE(WaitForShown(Running, "[OK] ", 10000)) << Running.Shown;
    WaitForShown(Running, "help:", 300);
    EXPECT_TRUE(StillRunning(Running)) << "the box must wait for OK";
    EXPECT_EQ(Running.Shown.find("help:"), std::string::npos) << "no help before OK";
    ASSERT_TRUE(Type(Running, "\n"));
    RunResult Result = FinishChild(Running);
    EXPECT_EQ(Result.Status, kStatusDone) << Describe(Result);
    EXPECT_NE(Result.Out.find("Talvenorをnotes.iniに登録しました。"), std::string::npos) << Result.Out;
    EXPECT_NE(Result.Out.find("help: nVorkap.hlp: contents"), std::string::npos) << Result.Out;
    EXPECT_EQ(ReadBytes(NotesIni_), kPlain + "VIEWEXP5=" + kEntry + "\r\n");
}

// A script's standard input is never read: with a pipe that stays open and silent, the box
// returns at once instead of waiting for an answer.
TEST_F(ProgramTest, BoxWithPipedInputDoesNotWait)
{
    WriteBytes(NotesIni_, kPlain);
    RunOptions Options;
    Options.In = Input::Pipe;
    Options.TimeoutMilliseconds = 10000;
    RunResult Result = RunProgram(Options);
    EXPECT_FALSE(Result.TimedOut) << "the box waited for standard input";
    EXPECT_EQ(Result.Status, kStatusDone);
    EXPECT_EQ(Result.Err, kInfoBox + TEXT_REGISTERED "\n" + kHelpContents);
}

// With /I, what a person sees on a terminal and what a merged pipe carries: the whole message
// first, then the help line, in the order the program made them. On a terminal the message ends
// its line, so the help line and the shell's prompt start lines of their own; a pipe carries the
// message's bytes alone.
struct ShownCase {
    const char* Name;
    Input In;
    Output Out;
    bool WithNotesIni;
    bool Remove;
    std::string Shown;
};

// On a terminal every line feed is shown as CR LF.
std::string AsOnTerminal(const std::string& Text)
{
    std::string Shown;
    for (char Byte : Text) Shown += Byte == '\n' ? std::string("\r\n") : std::string(1, Byte);
    return Shown;
}

const ShownCase kShownCases[] = {
    {"MissingOnTerminal", Input::Terminal, Output::Files, false, false,
     AsOnTerminal(TEXT_NOT_FOUND "\n" + kHelpTopic)},
    {"MissingOnMergedPipe", Input::Null, Output::MergedPipe, false, false,
     TEXT_NOT_FOUND + kHelpTopic},
    {"RegisteredOnTerminal", Input::Terminal, Output::Files, true, false,
     AsOnTerminal(TEXT_REGISTERED "\n" + kHelpContents)},
    {"RegisteredOnMergedPipe", Input::Null, Output::MergedPipe, true, false,
     TEXT_REGISTERED + kHelpContents},
    {"RemovedOnTerminal", Input::Terminal, Output::Files, true, true,
     AsOnTerminal(TEXT_REMOVED "\n")},
    {"RemovedOnMergedPipe", Input::Null, Output::MergedPipe, true, true, TEXT_REMOVED},
};

class ShownOrderTest : public ProgramTest, public ::testing::WithParamInterface<ShownCase> {};

TEST_P(ShownOrderTest, MessageWholeThenHelp)
{
    const ShownCase& Case = GetParam();
    if (Case.WithNotesIni) WriteBytes(NotesIni_, kPlain);
    RunOptions Options;
    Options.Arguments = {"/I"};
    if (Case.Remove) Options.Arguments.push_back("/U");
    Options.In = Case.In;
    Options.Out = Case.Out;
    RunResult Result = RunProgram(Options);
    EXPECT_EQ(Result.Status, Case.WithNotesIni ? kStatusDone : kStatusNotFound);
    EXPECT_EQ(Result.Out, Case.Shown);
}

INSTANTIATE_TEST_SUITE_P(Cases, ShownOrderTest, ::testing::ValuesIn(kShownCases), CaseName());

}  // namespace
