// Profile files on a POSIX file system.
//
// Every read and every read-modify-write holds an advisory lock (flock) on the file, so that two
// runs editing the same file never lose each other's changes. A change is written to a temporary
// file in the same directory, flushed, renamed over the original and the directory flushed: a
// reader, a crash or a full disk sees the old file or the new one, never a mix.
#include "platform/profile-file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "platform/profile.h"

namespace profile {

const char kTempMarker[] = ".vorkap-";

namespace {

// How long a run waits for another run's lock before it gives up.
constexpr int kLockWaitMilliseconds = 10000;
// How often a write starts over because the file it locked was replaced meanwhile.
constexpr int kMaxReplacedRetries = 100;

class FileDescriptor {
public:
    explicit FileDescriptor(int Fd = -1) : Fd_(Fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { Reset(); }
    int Get() const { return Fd_; }
    bool Valid() const { return Fd_ >= 0; }
    int Release()
    {
        int Fd = Fd_;
        Fd_ = -1;
        return Fd;
    }
    void Reset(int Fd = -1)
    {
        if (Fd_ >= 0) close(Fd_);
        Fd_ = Fd;
    }

private:
    int Fd_;
};

// Opens a file for reading without ever blocking on it (a FIFO has no writer to wait for).
// Answers the descriptor of a regular file; errno tells why there is none.
int OpenRegular(const std::string& Path, struct stat& Status)
{
    int Fd = open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (Fd < 0) return -1;
    if (fstat(Fd, &Status) != 0 || !S_ISREG(Status.st_mode)) {
        close(Fd);
        errno = EINVAL;
        return -1;
    }
    return Fd;
}

// Takes an advisory lock, waiting a bounded time for another holder to let go.
bool Lock(int Fd, int Operation)
{
    for (int Waited = 0;; Waited += 5) {
        if (flock(Fd, Operation | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (Waited >= kLockWaitMilliseconds) return false;
        struct timespec Pause = {0, 5 * 1000 * 1000};
        nanosleep(&Pause, nullptr);
    }
}

// A file's bytes in memory. Unlike a string's, its room is not zero-filled before a read fills
// it, and a large one is aligned to huge pages and asks for them before it is first touched:
// where mapping memory 4 KB at a time is costly (virtual machines with shadow page tables), a
// file's worth of small pages can take longer than writing the file to disk.
class FileBytes {
public:
    size_t size() const { return Size_; }
    size_t capacity() const { return Capacity_; }
    char* data() { return Data_.get(); }
    void clear() { Size_ = 0; }
    void SetSize(size_t Size) { Size_ = Size; }
    void swap(FileBytes& Other)
    {
        Data_.swap(Other.Data_);
        std::swap(Size_, Other.Size_);
        std::swap(Capacity_, Other.Capacity_);
    }
    operator std::string_view() const { return std::string_view(Data_.get(), Size_); }

    // Makes room for at least Capacity bytes, keeping the first Keep bytes.
    void Grow(size_t Capacity, size_t Keep)
    {
        constexpr size_t kHugePage = (size_t)2 << 20;
        bool Large = Capacity >= kHugePage / 2;
        size_t Alignment = Large ? kHugePage : 64;
        size_t Rounded = (Capacity + Alignment - 1) / Alignment * Alignment;
        char* Bytes = (char*)aligned_alloc(Alignment, Rounded);
        if (!Bytes) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        if (Large) (void)madvise(Bytes, Rounded, MADV_HUGEPAGE);
#endif
        if (Keep) memcpy(Bytes, Data_.get(), Keep);
        Data_.reset(Bytes);
        Capacity_ = Rounded;
    }

private:
    struct Free {
        void operator()(char* Bytes) const { free(Bytes); }
    };
    std::unique_ptr<char[], Free> Data_;
    size_t Size_ = 0;
    size_t Capacity_ = 0;
};

// Reads a regular file whole from its start. A buffer that already has the room is reused.
bool ReadAll(int Fd, const struct stat& Status, FileBytes& Content)
{
    if (Content.capacity() < (size_t)Status.st_size + 1) {
        Content.Grow((size_t)Status.st_size + 1, 0);
    }
    size_t Have = 0;
    for (;;) {
        if (Have == Content.capacity()) Content.Grow(Content.capacity() * 2 + 4096, Have);
        ssize_t Got = pread(Fd, Content.data() + Have, Content.capacity() - Have, (off_t)Have);
        if (Got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (Got == 0) break;
        Have += (size_t)Got;
    }
    Content.SetSize(Have);
    return true;
}

bool WriteAll(int Fd, std::string_view Content, off_t Offset)
{
    size_t Done = 0;
    while (Done < Content.size()) {
        ssize_t Wrote = pwrite(Fd, Content.data() + Done, Content.size() - Done,
                               Offset + (off_t)Done);
        if (Wrote < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        Done += (size_t)Wrote;
    }
    return true;
}

bool SameTime(const struct timespec& A, const struct timespec& B)
{
    return A.tv_sec == B.tv_sec && A.tv_nsec == B.tv_nsec;
}

bool SameFile(const struct stat& A, const struct stat& B)
{
    return A.st_dev == B.st_dev && A.st_ino == B.st_ino;
}

// The last content read of each file, kept while it provably cannot be stale: the file is the
// same one (device and inode), of the same size and the same change times, and its change time
// was already in the past by the file system's clock when it was read. Any later change of the
// file sets its change time to that clock's present, so it can never look unchanged.
//
// Lookups of a cached file go through an index of each section asked for, built on the first
// lookup in that section and dropped with the content it indexes. A write takes the content
// over when the locked file is still the one that was cached, instead of reading it again.
struct CachedFile {
    struct stat Status;
    FileBytes Content;
    std::map<std::string, std::unique_ptr<SectionIndex>> Sections;
};
std::map<std::string, CachedFile> Cache;

// The buffer for reads of a file that is not kept: one changed too recently for the cache, or the
// file that a write edits. It is reused, so that its memory is faulted in once per process.
FileBytes Scratch;

struct timespec CoarseNow()
{
    struct timespec Now;
    clock_gettime(CLOCK_REALTIME_COARSE, &Now);
    return Now;
}

bool Before(const struct timespec& A, const struct timespec& B)
{
    return A.tv_sec < B.tv_sec || (A.tv_sec == B.tv_sec && A.tv_nsec < B.tv_nsec);
}

bool StillValid(const CachedFile& Entry, const struct stat& Status)
{
    return SameFile(Entry.Status, Status) && Entry.Status.st_size == Status.st_size &&
           SameTime(Entry.Status.st_mtim, Status.st_mtim) &&
           SameTime(Entry.Status.st_ctim, Status.st_ctim);
}

// Reads the file for a lookup, from the cache when it is valid. Sets Cached to the cache entry
// that holds the content, or to null for a file that was changed too recently to be kept: such a
// file is read anew by every lookup, into one buffer that is reused.
const FileBytes* ReadForLookup(const char* Path, CachedFile*& Cached)
{
    Cached = nullptr;
    struct timespec Now = CoarseNow();
    struct stat Status;
    FileDescriptor Fd(OpenRegular(Path, Status));
    if (!Fd.Valid()) return nullptr;

    auto Found = Cache.find(Path);
    if (Found != Cache.end() && StillValid(Found->second, Status)) {
        Cached = &Found->second;
        return &Found->second.Content;
    }
    if (Found != Cache.end()) Cache.erase(Found);

    if (!Lock(Fd.Get(), LOCK_SH)) return nullptr;
    CachedFile Entry;
    if (fstat(Fd.Get(), &Entry.Status) != 0) return nullptr;
    if (!Before(Entry.Status.st_ctim, Now) || !Before(Entry.Status.st_mtim, Now)) {
        return ReadAll(Fd.Get(), Entry.Status, Scratch) ? &Scratch : nullptr;
    }
    if (!ReadAll(Fd.Get(), Entry.Status, Entry.Content)) return nullptr;
    Cached = &(Cache[Path] = std::move(Entry));
    return &Cached->Content;
}

std::string DirectoryOf(const std::string& Path)
{
    size_t Slash = Path.rfind('/');
    if (Slash == std::string::npos) return ".";
    if (Slash == 0) return "/";
    return Path.substr(0, Slash);
}

std::string BaseNameOf(const std::string& Path)
{
    size_t Slash = Path.rfind('/');
    return Slash == std::string::npos ? Path : Path.substr(Slash + 1);
}

// The file that a write replaces: the path itself, or the file that its symbolic links lead to,
// so that the links stay links.
bool ResolveTarget(const char* Path, std::string& Target)
{
    struct stat Status;
    if (lstat(Path, &Status) != 0) {
        if (errno != ENOENT) return false;
        Target = Path;
        return true;
    }
    if (!S_ISLNK(Status.st_mode)) {
        Target = Path;
        return true;
    }
    char Resolved[PATH_MAX];
    if (!realpath(Path, Resolved)) return false;
    Target = Resolved;
    return true;
}

// Removes temporary files of this file's own naming left by runs that were killed: their
// process is gone.
void RemoveStaleTemporaries(const std::string& Directory, const std::string& Base)
{
    std::string Prefix = "." + Base + kTempMarker;
    DIR* Listing = opendir(Directory.c_str());
    if (!Listing) return;
    while (struct dirent* Item = readdir(Listing)) {
        const char* Name = Item->d_name;
        if (strncmp(Name, Prefix.c_str(), Prefix.size()) != 0) continue;
        char* End = nullptr;
        long Owner = strtol(Name + Prefix.size(), &End, 10);
        if (End == Name + Prefix.size() || *End != '-' || Owner <= 0) continue;
        if (Owner == (long)getpid()) continue;
        if (kill((pid_t)Owner, 0) == 0 || errno != ESRCH) continue;
        unlinkat(dirfd(Listing), Name, 0);
    }
    closedir(Listing);
}

void FlushDirectory(const std::string& Directory)
{
    FileDescriptor Fd(open(Directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (Fd.Valid()) fsync(Fd.Get());
}

// A new content as the three pieces that an edit leaves: the old content's head, the changed
// bytes and the old content's tail. Written piece by piece, it needs no copy of the file.
struct NewContent {
    std::string_view Head;
    std::string_view Change;
    std::string_view Tail;
    size_t Size() const { return Head.size() + Change.size() + Tail.size(); }
};

bool WriteAll(int Fd, const NewContent& Content)
{
    return WriteAll(Fd, Content.Head, 0) &&
           WriteAll(Fd, Content.Change, (off_t)Content.Head.size()) &&
           WriteAll(Fd, Content.Tail, (off_t)(Content.Head.size() + Content.Change.size()));
}

enum class ReplaceResult { Done, Failed, DirectoryRefused };

// Writes the content to a temporary file beside the target, flushes it, and renames it over the
// target. The target's mode (and owner, where the process may set it) is kept.
ReplaceResult ReplaceByRename(const std::string& Target, const NewContent& Content,
                              const struct stat* Original)
{
    static unsigned Counter = 0;
    std::string Directory = DirectoryOf(Target);
    std::string Temporary = Directory + "/." + BaseNameOf(Target) + kTempMarker +
                            std::to_string((long)getpid()) + "-" + std::to_string(++Counter) +
                            ".tmp";
    mode_t Mode = Original ? (Original->st_mode & 07777) : 0644;
    FileDescriptor Fd(open(Temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!Fd.Valid()) {
        return (errno == EACCES || errno == EPERM) ? ReplaceResult::DirectoryRefused
                                                   : ReplaceResult::Failed;
    }
    bool Written = WriteAll(Fd.Get(), Content) && fchmod(Fd.Get(), Mode) == 0;
    if (Written && Original && (Original->st_uid != geteuid() || Original->st_gid != getegid())) {
        // Keeping the owner is possible only for a privileged process; the content matters more.
        if (fchown(Fd.Get(), Original->st_uid, Original->st_gid) != 0) {
            (void)fchmod(Fd.Get(), Mode);
        }
    }
    Written = Written && fsync(Fd.Get()) == 0;
    int Closed = close(Fd.Release());
    if (!Written || Closed != 0 || rename(Temporary.c_str(), Target.c_str()) != 0) {
        unlink(Temporary.c_str());
        return ReplaceResult::Failed;
    }
    FlushDirectory(Directory);
    return ReplaceResult::Done;
}

// For a directory that refuses a temporary file: rewrites the file in place. The room for the
// new content is reserved first, so a full disk or a size limit stops the write before any byte
// of the file has changed; a write that fails later puts the old content back.
bool RewriteInPlace(const std::string& Target, std::string_view Old, const NewContent& Content)
{
    FileDescriptor Fd(open(Target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY));
    if (!Fd.Valid()) return false;
    if (Content.Size() > Old.size()) {
        int Reserved = posix_fallocate(Fd.Get(), 0, (off_t)Content.Size());
        if (Reserved == EOPNOTSUPP || Reserved == EINVAL) {
            Reserved = ftruncate(Fd.Get(), (off_t)Content.Size()) == 0 ? 0 : errno;
        }
        if (Reserved != 0) {
            (void)ftruncate(Fd.Get(), (off_t)Old.size());
            return false;
        }
    }
    if (WriteAll(Fd.Get(), Content) && ftruncate(Fd.Get(), (off_t)Content.Size()) == 0 &&
        fsync(Fd.Get()) == 0) {
        return true;
    }
    if (WriteAll(Fd.Get(), Old, 0)) (void)ftruncate(Fd.Get(), (off_t)Old.size());
    (void)fsync(Fd.Get());
    return false;
}

}  // namespace

size_t ReadFileString(const char* Path, const char* Section, const char* Key, const char* Default,
                      char* Buffer, size_t Size)
{
    CachedFile* Cached = nullptr;
    const FileBytes* Content = (Path && Section && Key) ? ReadForLookup(Path, Cached) : nullptr;
    if (Cached) {
        std::unique_ptr<SectionIndex>& Index = Cached->Sections[Section];
        if (!Index) Index = std::make_unique<SectionIndex>(Cached->Content, Section);
        return Index->ReadString(Key, Default, Buffer, Size);
    }
    std::string_view Text = Content ? std::string_view(*Content) : std::string_view();
    return ReadString(Text, Section ? Section : "", Key ? Key : "", Default, Buffer, Size);
}

bool WriteFileString(const char* Path, const char* Section, const char* Key, const char* Value)
{
    if (!Path || !Section || !Key) return false;
    std::string Target;
    if (!ResolveTarget(Path, Target)) return false;
    // The lookups' copy of the file, if it is still valid once the file is locked, spares
    // reading the file again.
    CachedFile Known;
    bool HaveKnown = false;
    auto Found = Cache.find(Path);
    if (Found != Cache.end()) {
        Known.Status = Found->second.Status;
        Known.Content.swap(Found->second.Content);
        HaveKnown = true;
        Cache.erase(Found);
    }

    for (int Attempt = 0; Attempt < kMaxReplacedRetries; Attempt++) {
        struct stat Status;
        FileDescriptor Fd(OpenRegular(Target, Status));
        FileBytes& Old = Scratch;
        Old.clear();
        if (!Fd.Valid()) {
            if (errno != ENOENT) return false;
            // No file yet: a delete has nothing to do; a set creates the file.
            EditPlan Created;
            EditResult Result = PlanEdit(Old, Section, Key, Value, Created);
            if (Result == EditResult::Unchanged) return true;
            if (Result == EditResult::Refused) return false;
            return ReplaceByRename(Target, NewContent{{}, Created.Insert, {}}, nullptr) ==
                   ReplaceResult::Done;
        }
        if (!Lock(Fd.Get(), LOCK_EX)) return false;

        // The path may have been replaced by another run while this one waited for the lock:
        // then the locked file is no longer the one to edit, and the write starts over.
        struct stat Current;
        if (stat(Target.c_str(), &Current) != 0 || !SameFile(Current, Status)) continue;
        if (fstat(Fd.Get(), &Status) != 0) return false;
        if (HaveKnown && StillValid(Known, Status)) {
            Old.swap(Known.Content);
        } else if (!ReadAll(Fd.Get(), Status, Old)) {
            return false;
        }
        HaveKnown = false;

        EditPlan Plan;
        EditResult Result = PlanEdit(Old, Section, Key, Value, Plan);
        if (Result == EditResult::Unchanged) return true;
        if (Result == EditResult::Refused) return false;
        std::string_view Before(Old);
        NewContent Content{Before.substr(0, Plan.Offset), Plan.Insert,
                           Before.substr(Plan.Offset + Plan.Remove)};

        // A file that may not be written is not replaced either, although its directory would
        // allow the rename: its mode says no.
        if (faccessat(AT_FDCWD, Target.c_str(), W_OK, AT_EACCESS) != 0) return false;

        std::string Directory = DirectoryOf(Target);
        RemoveStaleTemporaries(Directory, BaseNameOf(Target));
        ReplaceResult Replaced = ReplaceByRename(Target, Content, &Status);
        if (Replaced == ReplaceResult::DirectoryRefused) {
            return RewriteInPlace(Target, Old, Content);
        }
        return Replaced == ReplaceResult::Done;
    }
    return false;
}

}  // namespace profile
