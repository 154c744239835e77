// The built program, run end to end: copied into a scratch Notes directory and started from
// elsewhere, as a user or a script would. Each case checks the exit status, the exact bytes on
// standard output and standard error, and the exact bytes of notes.ini afterwards.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "front/expected_messages.h"
#include "tests/support/bytes.h"

namespace {

namespace fs = std::filesystem;

const char kEntry[] = "Export HTML Files,1,_Vorkap,,.Htm,,1,";

// What the stand-ins for the message box and the help viewer write to standard error.
const std::string kInfoBox = "[Talvenor] information\n";
const std::string kErrorBox = "[Talvenor] error\n";
const std::string kHelpContents = "help: nVorkap.hlp: contents\n";
const std::string kHelpTopic = "help: nVorkap.hlp: topic 123\n";

struct RunResult {
    int Status = -1;
    std::string Out;
    std::string Err;
};

struct RunOptions {
    std::vector<std::string> Arguments;
    std::string Path = "/usr/bin:/bin";
    bool Unprivileged = false;  // run as nobody, since root bypasses file modes
};

// Runs the program from the root directory with no input, and waits at most 30 seconds.
RunResult RunIn(const fs::path& Program, const RunOptions& Options, const fs::path& Scratch)
{
    fs::path OutPath = Scratch / "stdout";
    fs::path ErrPath = Scratch / "stderr";
    fflush(nullptr);
    pid_t Child = fork();
    if (Child == 0) {
        int In = open("/dev/null", O_RDONLY);
        int Out = open(OutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        int Err = open(ErrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (In < 0 || Out < 0 || Err < 0) _exit(120);
        dup2(In, 0);
        dup2(Out, 1);
        dup2(Err, 2);
        if (chdir("/") != 0) _exit(121);
        if (Options.Unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(122);
        }
        std::vector<char*> Argv;
        std::string Name = Program.string();
        Argv.push_back(Name.data());
        std::vector<std::string> Arguments = Options.Arguments;
        for (std::string& Argument : Arguments) Argv.push_back(Argument.data());
        Argv.push_back(nullptr);
        std::string PathVariable = "PATH=" + Options.Path;
        char Locale[] = "LC_ALL=C.UTF-8";
        char* Environment[] = {PathVariable.data(), Locale, nullptr};
        execve(Name.c_str(), Argv.data(), Environment);
        _exit(127);
    }
    RunResult Result;
    int Status = 0;
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (waitpid(Child, &Status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > Deadline) {
            kill(Child, SIGKILL);
            waitpid(Child, &Status, 0);
            ADD_FAILURE() << "the program did not end within 30 seconds";
            return Result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Result.Status = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
    Result.Out = ReadBytes(OutPath);
    Result.Err = ReadBytes(ErrPath);
    return Result;
}

// A scratch Notes directory with the program copied into it, open to an unprivileged user.
class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo* Info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string Name = std::string(Info->test_suite_name()) + "-" + Info->name();
        for (char& Byte : Name) {
            if (Byte == '/') Byte = '-';
        }
        Root_ = fs::temp_directory_path() / ("vorkap-program-" + std::to_string(getpid()) + "-" +
                                             Name);
        fs::remove_all(Root_);
        NotesDirectory_ = Root_ / "Notes";
        fs::create_directories(NotesDirectory_);
        fs::permissions(Root_, fs::perms::all);
        fs::permissions(NotesDirectory_, fs::perms::all);
        Program_ = NotesDirectory_ / "vorkap-setup";
        fs::copy_file(VORKAP_SETUP_BINARY, Program_);
        NotesIni_ = NotesDirectory_ / "notes.ini";
    }
    void TearDown() override
    {
        std::error_code Ignored;
        fs::remove_all(Root_, Ignored);
    }
    RunResult RunProgram(const RunOptions& Options) { return RunIn(Program_, Options, Root_); }

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

class ProgramCaseTest : public ProgramTest, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(ProgramCaseTest, Run)
{
    const ProgramCase& Case = GetParam();
    if (Case.Before) WriteBytes(NotesIni_, *Case.Before);
    RunOptions Options;
    Options.Arguments = Case.Arguments;
    RunResult Result = RunProgram(Options);
    EXPECT_EQ(Result.Status, Case.Status);
    EXPECT_EQ(Result.Out, Case.Out);
    EXPECT_EQ(Result.Err, Case.Err);
    if (Case.After) {
        EXPECT_EQ(ReadBytes(NotesIni_), *Case.After);
    } else {
        EXPECT_FALSE(fs::exists(NotesIni_));
    }
    // Nothing else is left in the Notes directory: no temporary file, no other profile.
    int Entries = 0;
    for (auto& Item : fs::directory_iterator(NotesDirectory_)) {
        (void)Item;
        Entries++;
    }
    EXPECT_EQ(Entries, Case.After ? 2 : 1);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgramCaseTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ProgramCase>& Info) {
                             return std::string(Info.param.Name);
                         });

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
        Options.Unprivileged = true;
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
    Options.Unprivileged = true;
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
    int Terminal = -1;
    fflush(nullptr);
    pid_t Child = forkpty(&Terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(Child, 0);
    if (Child == 0) {
        char Locale[] = "LC_ALL=C.UTF-8";
        char* Environment[] = {Locale, nullptr};
        std::string Name = Program_.string();
        char* Argv[] = {Name.data(), nullptr};
        execve(Name.c_str(), Argv, Environment);
        _exit(127);
    }
    // Reads what the terminal shows until Wanted appears or Milliseconds pass.
    std::string Shown;
    auto ReadUntil = [&](const std::string& Wanted, int Milliseconds) {
        auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Milliseconds);
        while (Shown.find(Wanted) == std::string::npos &&
               std::chrono::steady_clock::now() < Deadline) {
            struct pollfd Poll = {Terminal, POLLIN, 0};
            if (poll(&Poll, 1, 50) <= 0) continue;
            char Chunk[512];
            ssize_t Got = read(Terminal, Chunk, sizeof Chunk);
            if (Got <= 0) break;
            Shown.append(Chunk, (size_t)Got);
        }
        return Shown.find(Wanted) != std::string::npos;
    };
    EXPECT_TRUE(ReadUntil("[OK] ", 10000)) << Shown;
    ReadUntil("help:", 300);
    int Status = 0;
    EXPECT_EQ(waitpid(Child, &Status, WNOHANG), 0) << "the box must wait for OK";
    EXPECT_EQ(Shown.find("help:"), std::string::npos) << "no help before OK";
    ASSERT_EQ(write(Terminal, "\n", 1), 1);
    EXPECT_TRUE(ReadUntil("help: nVorkap.hlp: contents", 10000)) << Shown;
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(Child, &Status, WNOHANG) == 0 && std::chrono::steady_clock::now() < Deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!WIFEXITED(Status)) kill(Child, SIGKILL);
    close(Terminal);
    EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0);
    EXPECT_NE(Shown.find("Talvenorをnotes.iniに登録しました。"), std::string::npos) << Shown;
    EXPECT_EQ(ReadBytes(NotesIni_), kPlain + "VIEWEXP5=" + kEntry + "\r\n");
}

}  // namespace
