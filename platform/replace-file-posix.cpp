// Crash-safe replacement of a file on POSIX: lock, temporary file with the file's owner, mode and
// extended attributes, fsync, rename, directory fsync, and the in-place fallback (the contract is
// in replace-file.h).
#include "platform/replace-file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <utility>
#include <vector>

#include "profile/profile.h"

namespace replace_file {
namespace {

// Writes Bytes at Offset of the file.
bool WriteAt(int Fd, std::string_view Bytes, size_t Offset)
{
    for (size_t Done = 0; Done < Bytes.size();) {
        ssize_t Wrote = pwrite(Fd, Bytes.data() + Done, Bytes.size() - Done, (off_t)(Offset + Done));
        if (Wrote < 0 && errno != EINTR) return false;
        Done += (size_t)std::max<ssize_t>(Wrote, 0);
    }
    return true;
}

// Writes the new content from the start of the file, piece by piece.
bool WriteAll(int Fd, const NewContent& Content)
{
    return WriteAt(Fd, Content.Head, 0) && WriteAt(Fd, Content.Change, Content.Head.size()) &&
           WriteAt(Fd, Content.Tail, Content.Head.size() + Content.Change.size());
}

// Removes the temporary files named Prefix<pid>-... whose process is gone.
void RemoveStaleTemporaries(const std::string& Directory, const std::string& Prefix)
{
    DIR* Listing = opendir(Directory.c_str());
    if (!Listing) return;
    while (struct dirent* Item = readdir(Listing)) {
        const char* Name = Item->d_name;
        if (strncmp(Name, Prefix.c_str(), Prefix.size()) != 0) continue;
        char* End = nullptr;
        long Owner = strtol(Name + Prefix.size(), &End, 10);
        bool Gone = End != Name + Prefix.size() && *End == '-' && Owner > 0 &&
                    Owner != (long)getpid() && kill((pid_t)Owner, 0) != 0 && errno == ESRCH;
        if (Gone) unlinkat(dirfd(Listing), Name, 0);
    }
    closedir(Listing);
}

// 0 when done; EPERM when the new file could not have the original's owner and group or its
// extended attributes, the errno of the open or the rename when the directory refused them; EIO
// when another step failed.
int ReplaceByRename(const std::string& Target, const std::string& Directory,
                    const std::string& Prefix, const NewContent& Content, int OriginalFd,
                    const struct stat& Original)
{
    static unsigned Counter = 0;
    std::string Temporary = Directory + "/" + Prefix + std::to_string((long)getpid()) + "-" +
                            std::to_string(++Counter) + ".tmp";
    FileDescriptor File(open(Temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (File.Fd < 0) return errno;
    // The owner first: a change of owner clears the set-user-ID and set-group-ID bits, and so
    // does a write by an unprivileged process, so the mode is set after both. The attributes
    // come last: a write or a change of owner removes a file capability (security.capability),
    // and the mode set after an access list would set its mask.
    mode_t Mode = Original.st_mode & 07777;
    int Error = KeepOwner(File.Fd, Original) ? 0 : EPERM;
    if (Error == 0 && (!WriteAll(File.Fd, Content) || fchmod(File.Fd, Mode) != 0)) Error = EIO;
    try {
        if (Error == 0 && !KeepAttributes(File.Fd, OriginalFd, Mode)) Error = EPERM;
    } catch (const std::bad_alloc&) {
        Error = ENOMEM;  // fails the write, and the temporary file goes as on any failure
    }
    if (Error == 0) {
        bool Synced = fsync(File.Fd) == 0;
        if (close(std::exchange(File.Fd, -1)) != 0 || !Synced) Error = EIO;
    }
    if (Error == 0 && rename(Temporary.c_str(), Target.c_str()) != 0) Error = errno;
    if (Error != 0) {
        unlink(Temporary.c_str());
        return Error;
    }
    FileDescriptor Folder(open(Directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (Folder.Fd >= 0) fsync(Folder.Fd);
    return 0;
}

// Rewrites the file itself through its locked descriptor Fd, as profile::PlanInPlace plans it:
// its inode, owner, group, links, ACLs and extended attributes stay, and between any two steps
// it reads as the old or the new content. Growing it with blanks first lets a full disk or a
// size limit stop the rewrite before any old byte has changed, with no support of the file
// system for reserving space. A step that fails later puts the old content back.
bool RewriteInPlace(int Fd, std::string_view Old, const NewContent& Content)
{
    std::string New;
    New.reserve(Content.Size());
    New.append(Content.Head).append(Content.Change).append(Content.Tail);
    const profile::InPlacePlan Plan = profile::PlanInPlace(Old, New);
    std::string_view Back = Plan.Back;
    if (!WriteAt(Fd, Back.substr(Plan.OldSize), Plan.OldSize)) {
        (void)ftruncate(Fd, (off_t)Plan.OldSize);
        return false;
    }
    if (WriteAt(Fd, Plan.Forward, 0) && ftruncate(Fd, (off_t)Plan.NewSize) == 0 &&
        fsync(Fd) == 0) {
        return true;
    }
    if (WriteAt(Fd, Back, 0)) (void)ftruncate(Fd, (off_t)Plan.OldSize);
    (void)fsync(Fd);
    return false;
}

// Whether a refusal of the replacement by rename leaves the in-place rewrite to try: the
// directory refused the temporary file or the rename (EACCES, EPERM; a sticky directory), the
// new file could not have the old one's owner or attributes (EPERM), the file is a mount point
// (EBUSY) or lies on another file system than its directory's entry (EXDEV).
bool InPlaceMayServe(int Error)
{
    return Error == EACCES || Error == EPERM || Error == EBUSY || Error == EXDEV;
}

}  // namespace

int OpenRegular(const std::string& Path, struct stat& Status, int Access)
{
    // O_NONBLOCK: a FIFO without a writer must not hold the open up.
    int Fd = open(Path.c_str(), Access | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (Fd >= 0 && (fstat(Fd, &Status) != 0 || !S_ISREG(Status.st_mode))) {
        close(Fd);
        errno = EINVAL;
        return -1;
    }
    return Fd;
}

bool Lock(int Fd, int Operation)
{
    // Ten seconds by the monotonic clock, however long each pause takes on a busy machine.
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        if (flock(Fd, Operation | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() >= Deadline) return false;
        struct timespec Pause = {0, 5 * 1000 * 1000};
        nanosleep(&Pause, nullptr);
    }
}

bool ReadAll(int Fd, const struct stat& Status, std::string& Content)
{
    // One byte more than the size, so that a file that grew meanwhile is noticed and read on.
    Content.resize((size_t)Status.st_size + 1);
    for (size_t Have = 0;;) {
        ssize_t Got = pread(Fd, Content.data() + Have, Content.size() - Have, (off_t)Have);
        if (Got < 0 && errno != EINTR) return false;
        if (Got == 0) {
            Content.resize(Have);
            return true;
        }
        Have += (size_t)std::max<ssize_t>(Got, 0);
        if (Have == Content.size()) Content.resize(2 * Have);
    }
}

bool ResolveTarget(const char* Path, std::string& Target)
{
    std::error_code Error;
    Target = Path;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(Path, Error))) {
        return !Error || Error == std::errc::no_such_file_or_directory;
    }
    Target = std::filesystem::canonical(Path, Error).string();
    return !Error;
}

bool Replace(const std::string& Target, int Fd, std::string_view Old, const NewContent& Content,
             const struct stat& Original)
{
    std::filesystem::path File(Target);
    std::string Directory = File.has_parent_path() ? File.parent_path().string() : ".";
    std::string Prefix = "." + File.filename().string() + ".vorkap-";
    RemoveStaleTemporaries(Directory, Prefix);
    int Error = ReplaceByRename(Target, Directory, Prefix, Content, Fd, Original);
    if (InPlaceMayServe(Error)) return RewriteInPlace(Fd, Old, Content);
    return Error == 0;
}

}  // namespace replace_file
