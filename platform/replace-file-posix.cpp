// Crash-safe replacement of a file on POSIX: lock, temporary file, fsync, rename, directory
// fsync, and the in-place fallback (the contract is in replace-file.h).
#include "platform/replace-file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

namespace profile {
namespace {

// Writes the pieces one after another from the start of the file.
bool WriteAll(int Fd, const NewContent& Content)
{
    off_t Offset = 0;
    for (std::string_view Piece : {Content.Head, Content.Change, Content.Tail}) {
        for (size_t Done = 0; Done < Piece.size();) {
            ssize_t Wrote = pwrite(Fd, Piece.data() + Done, Piece.size() - Done, Offset);
            if (Wrote < 0 && errno != EINTR) return false;
            Done += (size_t)std::max<ssize_t>(Wrote, 0);
            Offset += std::max<ssize_t>(Wrote, 0);
        }
    }
    return true;
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

// Gives the temporary file the mode and, where the process may, the owner of the original.
bool KeepModeAndOwner(int Fd, const struct stat* Original)
{
    mode_t Mode = Original ? (Original->st_mode & 07777) : 0644;
    if (fchmod(Fd, Mode) != 0) return false;
    if (Original && (Original->st_uid != geteuid() || Original->st_gid != getegid())) {
        // Keeping the owner is possible only for a privileged process; the content matters more.
        if (fchown(Fd, Original->st_uid, Original->st_gid) != 0) (void)fchmod(Fd, Mode);
    }
    return true;
}

// 0 when done; the open's errno when the temporary file could not be made (EACCES or EPERM: the
// directory refused it); EIO when a later step failed.
int ReplaceByRename(const std::string& Target, const std::string& Directory,
                    const std::string& Prefix, const NewContent& Content, const struct stat* Original)
{
    static unsigned Counter = 0;
    std::string Temporary = Directory + "/" + Prefix + std::to_string((long)getpid()) + "-" +
                            std::to_string(++Counter) + ".tmp";
    FileDescriptor File(open(Temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (File.Fd < 0) return errno;
    bool Written = WriteAll(File.Fd, Content) && KeepModeAndOwner(File.Fd, Original) &&
                   fsync(File.Fd) == 0;
    bool Closed = close(std::exchange(File.Fd, -1)) == 0;
    if (!Written || !Closed || rename(Temporary.c_str(), Target.c_str()) != 0) {
        unlink(Temporary.c_str());
        return EIO;
    }
    FileDescriptor Folder(open(Directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (Folder.Fd >= 0) fsync(Folder.Fd);
    return 0;
}

// Reserves room for Size bytes, so that a later write cannot run out of disk or size limit.
bool Reserve(int Fd, size_t Size)
{
    int Error = posix_fallocate(Fd, 0, (off_t)Size);
    if (Error == EOPNOTSUPP || Error == EINVAL) return ftruncate(Fd, (off_t)Size) == 0;
    return Error == 0;
}

bool RewriteInPlace(const std::string& Target, std::string_view Old, const NewContent& Content)
{
    FileDescriptor File(open(Target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
    if (File.Fd < 0) return false;
    if (Content.Size() > Old.size() && !Reserve(File.Fd, Content.Size())) {
        (void)ftruncate(File.Fd, (off_t)Old.size());
        return false;
    }
    if (WriteAll(File.Fd, Content) && ftruncate(File.Fd, (off_t)Content.Size()) == 0 &&
        fsync(File.Fd) == 0) {
        return true;
    }
    // A write that failed part-way: the old content back.
    if (WriteAll(File.Fd, {Old, {}, {}})) (void)ftruncate(File.Fd, (off_t)Old.size());
    (void)fsync(File.Fd);
    return false;
}

}  // namespace

int OpenRegular(const std::string& Path, struct stat& Status)
{
    // O_NONBLOCK: a FIFO without a writer must not hold the open up.
    int Fd = open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (Fd >= 0 && (fstat(Fd, &Status) != 0 || !S_ISREG(Status.st_mode))) {
        close(Fd);
        errno = EINVAL;
        return -1;
    }
    return Fd;
}

bool Lock(int Fd, int Operation)
{
    for (int Waited = 0; Waited <= 10000; Waited += 5) {  // milliseconds
        if (flock(Fd, Operation | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        struct timespec Pause = {0, 5 * 1000 * 1000};
        nanosleep(&Pause, nullptr);
    }
    return false;
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

bool Replace(const std::string& Target, std::string_view Old, const NewContent& Content,
             const struct stat* Original)
{
    std::filesystem::path File(Target);
    std::string Directory = File.has_parent_path() ? File.parent_path().string() : ".";
    std::string Prefix = "." + File.filename().string() + ".vorkap-";
    if (Original) RemoveStaleTemporaries(Directory, Prefix);
    int Error = ReplaceByRename(Target, Directory, Prefix, Content, Original);
    if ((Error == EACCES || Error == EPERM) && Original) return RewriteInPlace(Target, Old, Content);
    return Error == 0;
}

}  // namespace profile
