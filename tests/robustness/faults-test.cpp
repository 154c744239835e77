// Faults while notes.ini is written: a size limit or a full disk part-way through the write, a
// run killed at a random moment, and permissions that refuse the file, its directory or reading.
// In every case the file is the old one or the complete new one, never anything between, and a
// failure is reported with the write-failure message and status 2.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "profile/profile.h"
#include "tests/robustness/content.h"
#include "tests/robustness/harness.h"
#include "tests/support/skip.h"

using namespace robust;

namespace {

// A failed run: status 2 with its message, the file exactly as before, no temporary file left.
void ExpectRefusedAndIntact(const Scratch& Where, const RunResult& Result,
                            const std::string& Before)
{
    EXPECT_EQ(Result.Status, kStatusWriteFailed) << Describe(Result);
    EXPECT_EQ(Result.Out, TEXT_WRITE_FAILED) << Describe(Result);
    EXPECT_EQ(Result.Err, "") << "no help after a failure";
    EXPECT_TRUE(ReadBytes(Where.Ini()) == Before) << "notes.ini changed";
    EXPECT_TRUE(TemporaryFiles(Where.Notes()).empty());
}

// --- A write cut short by the file-size limit ----------------------------------------------------

TEST(WriteFault, SizeLimitStopsTheTemporaryFilePartWay)
{
    // The child starts with SIGXFSZ at its default action, as under `ulimit -f` in a shell: the
    // program must report the cut write, not be killed by the signal.
    for (bool Remove : {false, true}) {
        SCOPED_TRACE(Remove ? "removal" : "registration");
        Scratch Where;
        std::string Plain = NotesIniOfSize(64 * 1024);
        std::string Before = Remove ? Plain + RegisteredLine() : Plain;
        WriteBytes(Where.Ini(), Before);
        // Half the file fits under the limit: the temporary copy is cut in the middle.
        RunResult Cut = RunSetup(Where, Remove, false, 32 * 1024);
        EXPECT_EQ(Cut.Signal, 0) << Describe(Cut);
        ExpectRefusedAndIntact(Where, Cut, Before);

        // Without the limit the same run succeeds, so the failure above was the limit's.
        RunResult Result = RunSetup(Where, Remove);
        ASSERT_EQ(Result.Status, kStatusDone) << Describe(Result);
        EXPECT_TRUE(ReadBytes(Where.Ini()) == (Remove ? Plain : Plain + RegisteredLine()));
    }
}

TEST(WriteFault, SizeLimitDuringAnInPlaceRewrite)
{
    SKIP_UNLESS_ROOT(Scratch().Notes());  // runs the program as kNobody
    // The directory refuses a temporary file, so the file is rewritten in place: once growing
    // (registration) and once shrinking (removal), both cut off by the limit.
    struct Case {
        const char* Name;
        bool Remove;
    };
    for (const Case& Each : {Case{"register", false}, Case{"remove", true}}) {
        SCOPED_TRACE(Each.Name);
        Scratch Where;
        std::string Plain = NotesIniOfSize(64 * 1024);
        std::string Before = Each.Remove ? Plain + RegisteredLine() : Plain;
        WriteBytes(Where.Ini(), Before);
        Where.GiveToNobody();
        ASSERT_EQ(chmod(Where.Notes().c_str(), 0555), 0);
        ExpectRefusedAndIntact(Where, RunSetup(Where, Each.Remove, true, 32 * 1024), Before);

        // Without the limit the same rewrite in place succeeds.
        RunResult Result = RunSetup(Where, Each.Remove, true);
        EXPECT_EQ(Result.Status, kStatusDone) << Describe(Result);
        EXPECT_TRUE(ReadBytes(Where.Ini()) == (Each.Remove ? Plain : Plain + RegisteredLine()));
    }
}

// --- A full disk -------------------------------------------------------------------------------

// A small tmpfs mounted over the Notes directory in a mount namespace of this test process
// alone, so nothing outlives the test even when it fails. Skips where mounting is not allowed.
class SmallDisk {
public:
    explicit SmallDisk(const std::string& Directory) : Directory_(Directory) {}
    ~SmallDisk()
    {
        if (Mounted_) umount2(Directory_.c_str(), MNT_DETACH);
    }
    std::string Mount(const char* Size)
    {
        if (unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + strerror(errno);
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("private mounts: ") + strerror(errno);
        }
        std::string Options = std::string("size=") + Size + ",mode=0755";
        if (mount("vorkap-test", Directory_.c_str(), "tmpfs", 0, Options.c_str()) != 0) {
            return std::string("mount tmpfs: ") + strerror(errno);
        }
        Mounted_ = true;
        return "";
    }
    bool MakeReadOnly()
    {
        return mount(nullptr, Directory_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, "size=1m") == 0;
    }
    // Fills the disk, then gives back Spare bytes.
    void Fill(size_t Spare)
    {
        std::string Filler = Directory_ + "/filler";
        int Fd = open(Filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(Fd, 0);
        std::string Chunk(4096, 'f');
        off_t Size = 0;
        for (;;) {
            ssize_t Wrote = write(Fd, Chunk.data(), Chunk.size());
            if (Wrote <= 0) break;
            Size += Wrote;
        }
        ASSERT_GE(Size, (off_t)Spare);
        ASSERT_EQ(ftruncate(Fd, Size - (off_t)Spare), 0);
        close(Fd);
    }

private:
    std::string Directory_;
    bool Mounted_ = false;
};

TEST(WriteFault, FullDiskStopsTheTemporaryFilePartWay)
{
    Scratch Where;
    SmallDisk Disk(Where.Notes());
    std::string Why = Disk.Mount("1m");
    if (!Why.empty()) GTEST_SKIP() << "cannot mount a small tmpfs here (" << Why << ")";

    std::string Before = NotesIniOfSize(75 * 4096, true);
    WriteBytes(Where.Ini(), Before);
    Disk.Fill(100 * 1024);  // room for a third of the new copy
    ExpectRefusedAndIntact(Where, RunSetup(Where, false), Before);

    // With room again the same run succeeds, so the failure above was the disk's.
    ASSERT_EQ(unlink((Where.Notes() + "/filler").c_str()), 0);
    RunResult Result = RunSetup(Where, false);
    EXPECT_EQ(Result.Status, kStatusDone) << Describe(Result);
    EXPECT_TRUE(ReadBytes(Where.Ini()) == Before + RegisteredLine());
}

TEST(WriteFault, FullDiskDuringAnInPlaceRewrite)
{
    SKIP_UNLESS_ROOT(Scratch().Notes());  // runs the program as kNobody
    Scratch Where;
    SmallDisk Disk(Where.Notes());
    std::string Why = Disk.Mount("1m");
    if (!Why.empty()) GTEST_SKIP() << "cannot mount a small tmpfs here (" << Why << ")";

    // A file that fills its last block exactly: one more byte needs a block the disk lacks.
    std::string Before = NotesIniOfSize(75 * 4096, true);
    ASSERT_EQ(Before.size(), 75u * 4096);
    WriteBytes(Where.Ini(), Before);
    Disk.Fill(0);
    Where.GiveToNobody();
    ASSERT_EQ(chmod(Where.Notes().c_str(), 0555), 0);
    ExpectRefusedAndIntact(Where, RunSetup(Where, false, true), Before);

    ASSERT_EQ(unlink((Where.Notes() + "/filler").c_str()), 0);
    RunResult Result = RunSetup(Where, false, true);
    EXPECT_EQ(Result.Status, kStatusDone) << Describe(Result);
    EXPECT_TRUE(ReadBytes(Where.Ini()) == Before + RegisteredLine());
}

TEST(WriteFault, ReadOnlyFileSystem)
{
    Scratch Where;
    SmallDisk Disk(Where.Notes());
    std::string Why = Disk.Mount("1m");
    if (!Why.empty()) GTEST_SKIP() << "cannot mount a small tmpfs here (" << Why << ")";
    // An entry in other letter case: registration would rewrite it, removal delete it.
    std::string Before =
        NotesIniOfSize(8 * 1024) + "VIEWEXP5=export html files,1,_vorkap,,.htm,,1,\r\n";
    WriteBytes(Where.Ini(), Before);
    ASSERT_TRUE(Disk.MakeReadOnly()) << strerror(errno);
    // Even root may not write there: both fail cleanly.
    ExpectRefusedAndIntact(Where, RunSetup(Where, false), Before);
    ExpectRefusedAndIntact(Where, RunSetup(Where, true), Before);
}

// --- Permissions, as an unprivileged user --------------------------------------------------------

struct PermissionCase {
    const char* Name;
    mode_t DirectoryMode;
    mode_t FileMode;
    bool Remove;
    int Status;
    bool Changed;   // the file holds the new content afterwards
    bool InPlace;   // ... written into the same inode
    bool Already = false;  // the file already says what the run would write
};

TEST(Permission, RefusedOrRewrittenInPlace)
{
    SKIP_UNLESS_ROOT(Scratch().Notes());  // runs the program as kNobody
    const PermissionCase Cases[] = {
        {"writable file and directory", 0755, 0644, false, kStatusDone, true, false},
        {"read-only file", 0755, 0444, false, kStatusWriteFailed, false, false},
        {"read-only file, removal", 0755, 0444, true, kStatusWriteFailed, false, false},
        {"directory refuses temporary files", 0555, 0644, false, kStatusDone, true, true},
        {"directory refuses, removal", 0555, 0644, true, kStatusDone, true, true},
        {"directory and file refused", 0555, 0444, false, kStatusWriteFailed, false, false},
        {"unreadable file", 0755, 0000, false, kStatusWriteFailed, false, false},
        {"unreadable file, removal", 0755, 0000, true, kStatusWriteFailed, false, false},
        {"write-only file", 0755, 0200, false, kStatusWriteFailed, false, false},
        // Nothing to change: success without a write, as the platform's own write gives.
        {"read-only file already registered", 0755, 0444, false, kStatusDone, false, false, true},
        {"read-only file, nothing to remove", 0755, 0444, true, kStatusDone, false, false, true},
        {"directory and file refused, registered", 0555, 0444, false, kStatusDone, false, false,
         true},
    };
    for (const PermissionCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        Scratch Where;
        std::string Plain = NotesIniOfSize(8 * 1024);
        std::string After = Case.Remove ? Plain : Plain + RegisteredLine();
        std::string Before = Case.Already ? After : Case.Remove ? Plain + RegisteredLine() : Plain;
        WriteBytes(Where.Ini(), Before);
        Where.GiveToNobody();
        ASSERT_EQ(chmod(Where.Ini().c_str(), Case.FileMode), 0);
        ASSERT_EQ(chmod(Where.Notes().c_str(), Case.DirectoryMode), 0);
        struct stat Old;
        ASSERT_EQ(stat(Where.Ini().c_str(), &Old), 0);

        RunResult Result = RunSetup(Where, Case.Remove, true);
        EXPECT_EQ(Result.Status, Case.Status) << Describe(Result);
        EXPECT_EQ(Result.Signal, 0);
        if (Case.Status == kStatusWriteFailed) {
            EXPECT_EQ(Result.Out, TEXT_WRITE_FAILED) << Describe(Result);
        }
        EXPECT_TRUE(ReadBytes(Where.Ini()) == (Case.Changed ? After : Before));
        EXPECT_TRUE(TemporaryFiles(Where.Notes()).empty());

        struct stat New;
        ASSERT_EQ(stat(Where.Ini().c_str(), &New), 0);
        EXPECT_EQ(New.st_mode & 07777, Case.FileMode) << "mode not kept";
        EXPECT_EQ(New.st_uid, kNobody) << "owner not kept";
        if (Case.Changed) {
            EXPECT_EQ(New.st_ino == Old.st_ino, Case.InPlace);
        }
    }
}

// --- Killed between the steps of a rewrite in place ---------------------------------------------

// The directory refuses temporary files, so the file is rewritten in place. strace's fault
// injection kills the run as it enters the Nth call of one step's system call: the file then
// holds what the steps before it left, which must read as the old or as the new content. The
// change lies before the last section, whose last line has no line end.
struct StepKillCase {
    const char* Name;
    bool Remove;
    const char* Call;  // the system call whose Nth entry kills the run
    int Nth;
    bool ReadsNew;  // the file reads as the new content, else as the old
};

TEST(Killed, BetweenTheStepsOfARewriteInPlace)
{
    SKIP_UNLESS_ROOT(Scratch().Notes());  // runs the program as kNobody
    if (access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "strace is not installed";
    const StepKillCase Cases[] = {
        {"registration, before the growth", false, "pwrite64", 1, false},
        {"registration, grown with blanks", false, "pwrite64", 2, false},
        {"registration, new content written", false, "ftruncate", 1, true},
        {"removal, new content written", true, "ftruncate", 1, true},
    };
    const std::string Plain = NotesIniOfSize(8 * 1024);
    for (const StepKillCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        Scratch Where;
        const std::string Later = "[Later]\r\nk=v";
        std::string Before = Plain + (Case.Remove ? RegisteredLine() : "") + Later;
        std::string After = Plain + (Case.Remove ? "" : RegisteredLine()) + Later;
        WriteBytes(Where.Ini(), Before);
        Where.GiveToNobody();
        ASSERT_EQ(chmod(Where.Notes().c_str(), 0555), 0);

        RunOptions Options = SetupOptions(Where, Case.Remove);
        Options.AsNobody = true;
        Options.Arguments.insert(
            Options.Arguments.begin(),
            {"-f", "-qq", "-o", "/dev/null", "-e", "trace=pwrite64,ftruncate,fsync", "-e",
             std::string("inject=") + Case.Call + ":signal=SIGKILL:when=" +
                 std::to_string(Case.Nth),
             Where.Program()});
        RunResult Result = RunChild("/usr/bin/strace", Options);
        EXPECT_EQ(Result.Signal, SIGKILL) << Describe(Result);
        std::string Now = ReadBytes(Where.Ini());
        const std::string& Reads = Case.ReadsNew ? After : Before;
        const std::string& Other = Case.ReadsNew ? Before : After;
        EXPECT_TRUE(profile::ReadsAlike(Now, Reads, 1252)) << Now.substr(Now.size() - 200);
        EXPECT_FALSE(profile::ReadsAlike(Now, Other, 1252));
    }
}

// --- Killed part-way ---------------------------------------------------------------------------

// A temporary file's owner process, from its name ".notes.ini.vorkap-<pid>-<n>.tmp".
pid_t OwnerOf(const std::string& Temporary)
{
    return (pid_t)atol(Temporary.c_str() + strlen(".notes.ini.vorkap-"));
}

TEST(Killed, AtRandomMomentsLeavesOldOrNewAndNoTemporaries)
{
    Scratch Where;
    const std::string Plain = NotesIniOfSize(2 * 1024 * 1024);
    const std::string Registered = Plain + RegisteredLine();
    WriteBytes(Where.Ini(), Plain);

    // Kills land at a uniformly random moment within the shortest whole run seen so far, so
    // that nearly every run is killed, at any stage: start-up, reading, writing the temporary
    // file, flushing, renaming. Every tenth run goes to its end and is timed.
    const unsigned Seed = 20261208;
    std::mt19937 Random(Seed);
    long long Shortest = -1;
    int Killed = 0;
    int KilledAfterWriting = 0;  // the file changed although the run was killed
    int KilledWhileWriting = 0;  // the run left its temporary file behind
    for (int Round = 0; Killed < 200 && Round < 600; Round++) {
        SCOPED_TRACE("round " + std::to_string(Round) + ", seed " + std::to_string(Seed));
        std::string Before = ReadBytes(Where.Ini());
        bool Remove = Before == Registered;
        RunOptions Options = SetupOptions(Where, Remove);
        bool Kill = Shortest > 0 && Round % 10 != 9;
        Child Running = StartChild(Where.Program(), Options);
        if (Kill) {
            long long Wait = std::uniform_int_distribution<long long>(0, Shortest)(Random);
            struct timespec Pause = {(time_t)(Wait / 1000000), (long)(Wait % 1000000) * 1000};
            nanosleep(&Pause, nullptr);
            kill(Running.Pid, SIGKILL);
        }
        RunResult Result = FinishChild(Running);
        long long Took = NowMicroseconds() - Running.StartedMicroseconds;
        std::string After = ReadBytes(Where.Ini());
        ASSERT_TRUE(After == Plain || After == Registered)
            << "notes.ini damaged: " << After.size() << " bytes";
        std::vector<std::string> Left = TemporaryFiles(Where.Notes());
        if (Result.Signal == SIGKILL) {
            Killed++;
            if (After != Before) KilledAfterWriting++;
            if (!Left.empty()) KilledWhileWriting++;
        } else {
            // A run that ends by itself succeeds and removes what killed runs left behind.
            ASSERT_EQ(Result.Status, kStatusDone) << Describe(Result);
            ASSERT_TRUE(After != Before);
            EXPECT_TRUE(Left.empty()) << "stale temporaries not removed: " << Left[0];
            if (Shortest < 0 || Took < Shortest) Shortest = Took;
        }
        // Whatever is left over belongs to a run that is gone.
        for (const std::string& Name : Left) {
            EXPECT_EQ(kill(OwnerOf(Name), 0), -1) << Name << " belongs to a live process";
        }
    }
    printf("%d runs killed: %d after the rename, %d while writing the temporary file\n", Killed,
           KilledAfterWriting, KilledWhileWriting);
    EXPECT_GE(Killed, 200);
    // The next run that changes the file leaves nothing behind.
    RunResult Last = RunSetup(Where, ReadBytes(Where.Ini()) == Registered);
    EXPECT_EQ(Last.Status, kStatusDone);
    EXPECT_EQ(ListDirectory(Where.Notes()), std::vector<std::string>{"notes.ini"});
}

TEST(Killed, StaleTemporariesOfDeadRunsAreRemovedOthersKept)
{
    Scratch Where;
    std::string Before = NotesIniOfSize(4096);
    WriteBytes(Where.Ini(), Before);

    // A process id that is certainly dead: a child that has been waited for.
    pid_t Dead = fork();
    if (Dead == 0) _exit(0);
    ASSERT_GT(Dead, 0);
    int Ignored;
    waitpid(Dead, &Ignored, 0);
    std::string Pid = std::to_string((long)Dead);
    std::string Live = std::to_string((long)getpid());
    const std::vector<std::string> Planted = {
        ".notes.ini.vorkap-" + Pid + "-1.tmp",   // dead run: removed
        ".notes.ini.vorkap-" + Pid + "-7.tmp",   // dead run: removed
        ".notes.ini.vorkap-" + Live + "-1.tmp",  // a run still going: kept
        ".other.ini.vorkap-" + Pid + "-1.tmp",   // another file's: kept
        ".notes.ini.vorkap-x-1.tmp",             // not of our naming: kept
        "notes.ini.bak",
    };
    for (const std::string& Name : Planted) WriteBytes(Where.Notes() + "/" + Name, "partial");

    RunResult Result = RunSetup(Where, false);
    ASSERT_EQ(Result.Status, kStatusDone) << Describe(Result);
    std::vector<std::string> Expected = {Planted[2], Planted[3], Planted[4], Planted[5],
                                         "notes.ini"};
    std::sort(Expected.begin(), Expected.end());
    EXPECT_EQ(ListDirectory(Where.Notes()), Expected);
    EXPECT_TRUE(ReadBytes(Where.Ini()) == Before + RegisteredLine());
}

}  // namespace
