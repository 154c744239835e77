// notes.ini where the file system or the user differs from the plain case: a group's shared file
// written by another member of the group, a sticky directory, a notes.ini that is a bind mount, a
// file system without fallocate, whole-second file times, a memory limit, root before a file
// without write bits, access lists and extended attributes, and a lock held by another program.
// Every run must keep the file's owner, group, mode and extended attributes (its access list
// among them), and either write the complete new content or report the failure (status 2,
// message 4) with the old bytes intact.
//
// The file systems are made inside the test, as root, in a mount namespace of the test process
// alone (loop-mounted ext4 images, a bind mount), so nothing outlives it even when it fails. A
// case that cannot be set up here is skipped with its reason printed, never passed silently.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "platform/platform.h"
#include "tests/robustness/content.h"
#include "tests/robustness/harness.h"
#include "tests/support/case-name.h"
#include "tests/support/skip.h"

using namespace robust;

namespace {

// Mounts made by the test, in a mount namespace of its own, undone in reverse order at the end.
class PrivateMounts {
public:
    ~PrivateMounts()
    {
        for (auto It = Points_.rbegin(); It != Points_.rend(); ++It) {
            umount2(It->c_str(), MNT_DETACH);
        }
    }
    // "" when done, else why not.
    std::string Enter()
    {
        if (geteuid() != 0) return "needs root to mount";
        if (unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + strerror(errno);
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("private mounts: ") + strerror(errno);
        }
        return "";
    }
    // A new ext4 file system of 16 MB, made with the mkfs.ext4 Options, mounted at Point through
    // a loop device (freed again when it is unmounted).
    std::string Ext4(const std::string& Image, const std::string& Options, const std::string& Point)
    {
        if (system("command -v mkfs.ext4 >/dev/null 2>&1") != 0) return "mkfs.ext4 is missing";
        if (truncate(Image.c_str(), 0) != 0 && errno != ENOENT) return "cannot reset the image";
        int Fd = open(Image.c_str(), O_WRONLY | O_CREAT, 0600);
        if (Fd < 0 || ftruncate(Fd, 16 << 20) != 0) return "cannot make the image file";
        close(Fd);
        std::string Make = "mkfs.ext4 -q -F -m 0 " + Options + " " + Image + " >/dev/null 2>&1";
        if (system(Make.c_str()) != 0) return "mkfs.ext4 " + Options + " failed";
        std::string Mount = "mount -o loop " + Image + " " + Point + " 2>/dev/null";
        if (system(Mount.c_str()) != 0) return "no loop device here (mount -o loop failed)";
        Points_.push_back(Point);
        return "";
    }
    std::string Bind(const std::string& From, const std::string& Point)
    {
        if (mount(From.c_str(), Point.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            return std::string("bind mount: ") + strerror(errno);
        }
        Points_.push_back(Point);
        return "";
    }

private:
    std::vector<std::string> Points_;
};

// Fills the file system that holds Directory until it has no free block left.
void FillDisk(const std::string& Directory)
{
    int Fd = open((Directory + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(Fd, 0);
    std::string Chunk(65536, 'f');
    for (size_t Piece : {size_t(65536), size_t(1024), size_t(1)}) {
        while (write(Fd, Chunk.data(), Piece) == (ssize_t)Piece) {
        }
    }
    ASSERT_EQ(errno, ENOSPC);
    ASSERT_EQ(fsync(Fd), 0);
    close(Fd);
}

enum class Disk {
    Plain,        // the scratch directory's own file system
    NoFallocate,  // ext4 without extents: fallocate answers EOPNOTSUPP
    BindMount,    // notes.ini is a bind mount of a file outside the Notes directory
};

enum class Runner {
    Root,
    Nobody,  // uid and gid 65534, no other group
    Member,  // uid and gid 1001, also in the group 2000 that shares the Notes directory
};

enum class Extra {
    None,
    AccessList,         // setfacl: user 1001 may write, the owning group may only read
    DefaultAccessList,  // the Notes directory gives new files an access list for user 1001
    Attribute,          // the extended attribute named by the case, set by root
    LockHeld,           // another program holds a shared lock on notes.ini as the run starts
};

struct FileSystemCase {
    const char* Name;
    Disk On;
    mode_t DirectoryMode;
    uid_t DirectoryOwner;  // and group, except for the shared directory of group 2000
    mode_t FileMode;
    uid_t FileOwner;
    gid_t FileGroup;
    Runner As;
    bool Remove;
    size_t Size;        // of notes.ini
    rlim_t MemoryLimit;  // ulimit -v of the run, in bytes
    bool Full;          // the file system is full before the run
    int Status;
    bool InPlace;  // a change keeps the inode
    Extra Also = Extra::None;
    const char* Attribute = nullptr;  // with Extra::Attribute
};
using case_name::operator<<;

constexpr rlim_t kNoLimit = RLIM_INFINITY;
constexpr size_t k10K = 10 * 1024;
constexpr size_t k12K = 12 * 1024;  // whole blocks of 1 or 4 KB: one more byte needs a new one
constexpr size_t k20M = 20 << 20;
constexpr uid_t kOther = 1000;   // the owner of files that the runner does not own
constexpr gid_t kShared = 2000;  // the group that shares the Notes directory

const FileSystemCase kCases[] = {
    // A member of the file's group registers: a new file would be the member's own, so the file
    // is rewritten in place and its owner and group can still read it.
    {"GroupMemberKeepsOwnerAndGroup", Disk::Plain, 0770, kOther, 0660, kOther, kShared,
     Runner::Member, false, k10K, kNoLimit, false, kStatusDone, true},
    // The sticky directory refuses to rename over another user's file.
    {"StickyDirectoryOtherUsersFile", Disk::Plain, 01777, 0, 0666, kOther, kOther,
     Runner::Nobody, false, k10K, kNoLimit, false, kStatusDone, true},
    // A rename over a mount point is refused (EBUSY).
    {"BindMountedFile", Disk::BindMount, 0755, 0, 0644, 0, 0, Runner::Root, false, k10K,
     kNoLimit, false, kStatusDone, true},
    // The directory refuses a temporary file; the file system cannot reserve space.
    {"NoFallocateInPlace", Disk::NoFallocate, 0755, 0, 0644, kNobody, kNobody, Runner::Nobody,
     false, k10K, kNoLimit, false, kStatusDone, true},
    {"NoFallocateFullDisk", Disk::NoFallocate, 0755, 0, 0644, kNobody, kNobody, Runner::Nobody,
     false, k12K, kNoLimit, true, kStatusWriteFailed, false},
    // Root, who may write any file, still leaves alone a file without write bits.
    {"ReadOnlyFileAsRoot", Disk::Plain, 0755, 0, 0444, 0, 0, Runner::Root, false, k10K, kNoLimit,
     false, kStatusWriteFailed, false},
    // Root gives the new file the owner, which clears the set-ID bits, and then the mode.
    {"SetIdBitsKeptWithOtherOwner", Disk::Plain, 0755, 0, 06755, kOther, kShared, Runner::Root,
     false, k10K, kNoLimit, false, kStatusDone, false},
    // 20 MB under `ulimit -v`: room for one copy of the file succeeds, less fails cleanly.
    {"MemoryLimitOneCopy", Disk::Plain, 0755, 0, 0644, 0, 0, Runner::Root, false, k20M,
     100000 << 10, false, kStatusDone, false},
    {"MemoryLimitRegistration", Disk::Plain, 0755, 0, 0644, 0, 0, Runner::Root, false, k20M,
     16 << 20, false, kStatusWriteFailed, false},
    {"MemoryLimitRemoval", Disk::Plain, 0755, 0, 0644, 0, 0, Runner::Root, true, k20M, 16 << 20,
     false, kStatusWriteFailed, false},
    // The new file gets the access list: the group may still only read, user 1001 still write.
    {"AccessListKeptAsRoot", Disk::Plain, 0755, 0, 0660, kOther, kShared, Runner::Root, false,
     k10K, kNoLimit, false, kStatusDone, false, Extra::AccessList},
    {"AccessListKeptByOwner", Disk::Plain, 0755, kNobody, 0660, kNobody, kNobody, Runner::Nobody,
     true, k10K, kNoLimit, false, kStatusDone, false, Extra::AccessList},
    // ... and not the list that the directory gives every new file.
    {"DirectoryDefaultAccessListNotTaken", Disk::Plain, 0755, 0, 0640, kOther, kShared,
     Runner::Root, false, k10K, kNoLimit, false, kStatusDone, false, Extra::DefaultAccessList},
    {"UserAttributeKeptAsRoot", Disk::Plain, 0755, 0, 0644, kOther, kOther, Runner::Root, false,
     k10K, kNoLimit, false, kStatusDone, false, Extra::Attribute, "user.vorkap"},
    {"UserAttributeKeptByOwner", Disk::Plain, 0755, kNobody, 0644, kNobody, kNobody,
     Runner::Nobody, false, k10K, kNoLimit, false, kStatusDone, false, Extra::Attribute,
     "user.vorkap"},
    {"TrustedAttributeKeptAsRoot", Disk::Plain, 0755, 0, 0644, kOther, kOther, Runner::Root,
     false, k10K, kNoLimit, false, kStatusDone, false, Extra::Attribute, "trusted.vorkap"},
    // Only root may set a security.* attribute: its owner's run rewrites the file in place.
    {"SecurityAttributeInPlace", Disk::Plain, 0755, kNobody, 0644, kNobody, kNobody,
     Runner::Nobody, false, k10K, kNoLimit, false, kStatusDone, true, Extra::Attribute,
     "security.vorkap"},
    // The change's exclusive lock is asked for through a descriptor open for writing, as NFS
    // needs; the run waits for the shared lock held here.
    {"LockTakenForWriting", Disk::Plain, 0755, kNobody, 0644, kNobody, kNobody, Runner::Nobody,
     false, k10K, kNoLimit, false, kStatusDone, false, Extra::LockHeld},
};

// The extended attributes of Path that root sees, by name.
std::map<std::string, std::string> AttributesOf(const std::string& Path)
{
    std::map<std::string, std::string> Attributes;
    char Names[4096], Value[4096];
    ssize_t Size = llistxattr(Path.c_str(), Names, sizeof Names);
    for (ssize_t At = 0; At < Size; At += (ssize_t)strlen(Names + At) + 1) {
        ssize_t Got = lgetxattr(Path.c_str(), Names + At, Value, sizeof Value);
        Attributes[Names + At] = Got >= 0 ? std::string(Value, (size_t)Got) : "(unreadable)";
    }
    return Attributes;
}

// "" when the extra of the case is set up on File in Directory, else why not.
std::string SetUpExtra(const FileSystemCase& Case, const std::string& File,
                       const std::string& Directory)
{
    if (Case.Also == Extra::AccessList || Case.Also == Extra::DefaultAccessList) {
        if (system("command -v setfacl >/dev/null 2>&1") != 0) return "setfacl is missing (acl)";
        std::string Command = Case.Also == Extra::AccessList
                                  ? "setfacl -m u:1001:rw,g::r,m::rw " + File
                                  : "setfacl -d -m u:1001:rw " + Directory;
        if (system((Command + " 2>/dev/null").c_str()) != 0) return "no access lists here";
    }
    bool Attribute = Case.Also == Extra::Attribute;
    if (Attribute && setxattr(File.c_str(), Case.Attribute, "kept", 4, 0) != 0) {
        return std::string("setxattr ") + Case.Attribute + ": " + strerror(errno);
    }
    return "";
}

// The access mode (O_RDONLY, O_RDWR...) of the descriptor through which the process Pid waits for
// File's lock, looked for during five seconds; -1 when it has none.
int WaitingAccess(pid_t Pid, const std::string& File)
{
    namespace fs = std::filesystem;
    std::error_code Error;
    fs::path Wanted = fs::canonical(File, Error);
    std::string Process = "/proc/" + std::to_string(Pid);
    int Access = -1;
    for (long long Start = NowMicroseconds(); NowMicroseconds() - Start < 5000000;) {
        for (const auto& Entry : fs::directory_iterator(Process + "/fd", Error)) {
            if (fs::read_symlink(Entry.path(), Error) != Wanted) continue;
            std::ifstream Info(Process + "/fdinfo/" + Entry.path().filename().string());
            std::string Field;
            unsigned Flags = 0;
            while (Info >> Field && Field != "flags:") {
            }
            if (Info >> std::oct >> Flags) Access = (int)(Flags & O_ACCMODE);
            if (Access == O_RDWR) return Access;  // a read-only one may be a lookup's, gone soon
        }
        struct timespec Pause = {0, 2 * 1000 * 1000};
        nanosleep(&Pause, nullptr);
    }
    return Access;
}

class FileSystems : public ::testing::TestWithParam<FileSystemCase> {};

TEST_P(FileSystems, KeepOwnerAndBytesOrFailWhole)
{
    const FileSystemCase& Case = GetParam();
#if defined(__SANITIZE_ADDRESS__)
    if (Case.MemoryLimit != kNoLimit) {
        GTEST_SKIP() << "AddressSanitizer cannot run under a limit of the address space";
    }
#endif
    Scratch Where;
    SKIP_UNLESS_ROOT(Where.Notes());
    PrivateMounts Mounts;
    std::string Why = Mounts.Enter();
    if (Why.empty() && Case.On == Disk::NoFallocate) {
        Why = Mounts.Ext4(Where.Root() + "/disk.img", "-O ^extent,^64bit", Where.Notes());
    }
    if (!Why.empty()) GTEST_SKIP() << "cannot set up " << Case.Name << ": " << Why;

    std::string Plain = NotesIniOfSize(Case.Size, true);
    std::string Before = Case.Remove ? Plain + RegisteredLine() : Plain;
    std::string After = Case.Remove ? Plain : Plain + RegisteredLine();
    // The file that holds the bytes: notes.ini itself, or the file bound onto it.
    std::string Holder = Where.Ini();
    WriteBytes(Holder, Before);
    if (Case.On == Disk::BindMount) {
        Holder = Where.Root() + "/bound.ini";
        WriteBytes(Holder, Before);
        Why = Mounts.Bind(Holder, Where.Ini());
        if (!Why.empty()) GTEST_SKIP() << "cannot set up " << Case.Name << ": " << Why;
    }
    gid_t DirectoryGroup = Case.DirectoryMode == 0770 ? kShared : Case.DirectoryOwner;
    ASSERT_EQ(chown(Where.Notes().c_str(), Case.DirectoryOwner, DirectoryGroup), 0);
    ASSERT_EQ(chmod(Where.Notes().c_str(), Case.DirectoryMode), 0);
    ASSERT_EQ(chown(Holder.c_str(), Case.FileOwner, Case.FileGroup), 0);
    ASSERT_EQ(chmod(Holder.c_str(), Case.FileMode), 0);
    Why = SetUpExtra(Case, Holder, Where.Notes());
    if (!Why.empty()) GTEST_SKIP() << "cannot set up " << Case.Name << ": " << Why;
    if (Case.Full) FillDisk(Where.Notes());
    struct stat Old;
    ASSERT_EQ(stat(Holder.c_str(), &Old), 0);
    std::map<std::string, std::string> Attributes = AttributesOf(Holder);

    RunOptions Options = SetupOptions(Where, Case.Remove);
    Options.AddressSpaceLimit = Case.MemoryLimit;
    if (Case.As == Runner::Nobody) Options.AsNobody = true;
    if (Case.As == Runner::Member) {
        Options.User = Options.Group = 1001;
        Options.Groups = {kShared};
    }
    int Holding = Case.Also == Extra::LockHeld ? open(Holder.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    ASSERT_EQ(Case.Also == Extra::LockHeld, Holding >= 0 && flock(Holding, LOCK_SH) == 0);
    Child Running = StartChild(Where.Program(), Options);
    if (Holding >= 0) {
        EXPECT_EQ(WaitingAccess(Running.Pid, Holder), O_RDWR) << "the lock's descriptor";
        close(Holding);
    }
    RunResult Result = FinishChild(Running);

    EXPECT_EQ(Result.Status, Case.Status) << Describe(Result);
    EXPECT_EQ(Result.Signal, 0) << Describe(Result);
    bool Done = Case.Status == kStatusDone;
    EXPECT_EQ(Result.Out, !Done ? TEXT_WRITE_FAILED : Case.Remove ? TEXT_REMOVED : TEXT_REGISTERED);
    EXPECT_EQ(Result.Err, Done && !Case.Remove ? kHelpContents : "");
    EXPECT_TRUE(ReadBytes(Holder) == (Done ? After : Before)) << "notes.ini holds other bytes";
    EXPECT_TRUE(TemporaryFiles(Where.Notes()).empty());
    struct stat New;
    ASSERT_EQ(stat(Holder.c_str(), &New), 0);
    EXPECT_EQ(New.st_uid, Case.FileOwner) << "owner not kept";
    EXPECT_EQ(New.st_gid, Case.FileGroup) << "group not kept";
    EXPECT_EQ(New.st_mode & 07777, Case.FileMode) << "mode not kept";
    EXPECT_EQ(AttributesOf(Holder), Attributes) << "extended attributes or access list not kept";
    if (Done) {
        EXPECT_EQ(New.st_ino == Old.st_ino, Case.InPlace) << "inode kept or not";
    }
    if (Case.On == Disk::BindMount) {
        struct stat Seen;
        ASSERT_EQ(stat(Where.Ini().c_str(), &Seen), 0);
        EXPECT_EQ(Seen.st_ino, New.st_ino) << "notes.ini is no longer the bound file";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, FileSystems, ::testing::ValuesIn(kCases), CaseName());

// --- Whole-second times ------------------------------------------------------------------------

// The real time, to the nanosecond.
struct timespec Now()
{
    struct timespec Time;
    clock_gettime(CLOCK_REALTIME, &Time);
    return Time;
}

// On a file system that keeps whole seconds, another program changes notes.ini (same size)
// after this process's read and before its write, all in one second: the change and the times
// the file shows are the same as before, and only the two-second rule of the cache makes the
// write read the file again. The engine runs in this process; the other program is a child.
TEST(FileSystemTimes, ChangeInTheSameSecondSurvives)
{
    Scratch Where;
    PrivateMounts Mounts;  // undone before the scratch directory goes
    std::string Why = Mounts.Enter();
    if (Why.empty()) Why = Mounts.Ext4(Where.Root() + "/disk.img", "-I 128", Where.Notes());
    if (!Why.empty()) GTEST_SKIP() << "cannot make ext4 with 128-byte inodes: " << Why;

    const std::string Plain = NotesIniOfSize(k10K);
    const size_t Language = Plain.find("Language=ja") + strlen("Language=");
    std::string Changed = Plain;
    Changed.replace(Language, 2, "en");
    for (int Attempt = 1;; Attempt++) {
        // Start just after a second begins, so that all of it fits in that second.
        struct timespec Start = Now();
        struct timespec Pause = {0, 1000000000L - Start.tv_nsec + 5000000L};
        nanosleep(&Pause, nullptr);
        WriteBytes(Where.Ini(), Plain);
        struct stat Written;
        ASSERT_EQ(stat(Where.Ini().c_str(), &Written), 0);
        ASSERT_EQ(Written.st_ctim.tv_nsec, 0) << "the file system keeps more than whole seconds";

        char Value[256] = "";
        GetPrivateProfileStringA("Notes", "VIEWEXP5", "", Value, sizeof Value, Where.Ini().c_str());
        ASSERT_STREQ(Value, "");
        pid_t Other = fork();
        if (Other == 0) {
            int Fd = open(Where.Ini().c_str(), O_WRONLY);
            _exit(Fd >= 0 && pwrite(Fd, "en", 2, (off_t)Language) == 2 ? 0 : 1);
        }
        int OtherStatus = -1;
        ASSERT_EQ(waitpid(Other, &OtherStatus, 0), Other);
        ASSERT_EQ(OtherStatus, 0);
        struct stat Touched;
        ASSERT_EQ(stat(Where.Ini().c_str(), &Touched), 0);
        ASSERT_TRUE(WritePrivateProfileStringA("Notes", "VIEWEXP5", kEntry, Where.Ini().c_str()));
        if (Touched.st_ctim.tv_sec != Written.st_ctim.tv_sec) {
            // The second ended before the other change: the case did not arise; try again.
            ASSERT_LT(Attempt, 3) << "could not make the change within one second";
            continue;
        }
        EXPECT_TRUE(ReadBytes(Where.Ini()) == Changed + RegisteredLine())
            << "the other program's change was lost";
        break;
    }
}

// A file settled for seconds, whose times prove nothing on whole seconds either: the write after
// the lookups reads it again under its lock, and the result is the same.
TEST(FileSystemTimes, SettledFileIsReadAgainByTheWrite)
{
    Scratch Where;
    PrivateMounts Mounts;
    std::string Why = Mounts.Enter();
    if (Why.empty()) Why = Mounts.Ext4(Where.Root() + "/disk.img", "-I 128", Where.Notes());
    if (!Why.empty()) GTEST_SKIP() << "cannot make ext4 with 128-byte inodes: " << Why;

    const std::string Plain = NotesIniOfSize(k10K);
    WriteBytes(Where.Ini(), Plain);
    struct timespec Pause = {3, 0};
    nanosleep(&Pause, nullptr);
    char Value[256] = "";
    for (const char* Slot : {"VIEWEXP4", "VIEWEXP5"}) {
        GetPrivateProfileStringA("Notes", Slot, "", Value, sizeof Value, Where.Ini().c_str());
    }
    ASSERT_STREQ(Value, "");
    ASSERT_TRUE(WritePrivateProfileStringA("Notes", "VIEWEXP5", kEntry, Where.Ini().c_str()));
    EXPECT_TRUE(ReadBytes(Where.Ini()) == Plain + RegisteredLine());
}

}  // namespace
