// Profile files on a POSIX file system: the content cache, and the read-modify-write of a key
// behind GetPrivateProfileStringA and WritePrivateProfileStringA.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "platform/replace-file.h"
#include "profile/rules.h"

using namespace profile;
using namespace replace_file;

namespace {

// The last file read, with a lookup for each section asked for. Lookups keep it while the file
// is unchanged by its status: the same file (device and inode), of the same size and change
// times. A write never takes it over: it reads the file again under its lock, since times alone
// cannot prove a copy current (a clock that differs between an NFS client and its server).
struct CachedFile {
    std::string Path;
    struct stat Status;
    std::string Content;
    std::map<std::string, SectionLookup> Sections;
};
std::unique_ptr<CachedFile> Cache;

auto TimeOf(const struct timespec& Time)
{
    return std::make_pair(Time.tv_sec, Time.tv_nsec);
}

bool SameFile(const struct stat& A, const struct stat& B)
{
    return A.st_dev == B.st_dev && A.st_ino == B.st_ino;
}

bool Unchanged(const std::unique_ptr<CachedFile>& Kept, const struct stat& Status)
{
    return Kept && SameFile(Kept->Status, Status) && Kept->Status.st_size == Status.st_size &&
           TimeOf(Kept->Status.st_mtim) == TimeOf(Status.st_mtim) &&
           TimeOf(Kept->Status.st_ctim) == TimeOf(Status.st_ctim);
}

// The files that a read of this run found but could not read (refused, not a regular file, its
// lock held past the wait, an I/O error), by the file a write would replace. Later reads of one
// give nothing at once, without waiting for its lock again, and every write of it fails: a write
// that rests on reads that saw nothing could overwrite what they missed. When not even the path
// could be kept (out of memory), UnreadableUnnamed makes every write fail.
std::set<std::string> Unreadable;
bool UnreadableUnnamed = false;

std::string TargetOf(const std::string& Path)
{
    std::string Target;
    return ResolveTarget(Path.c_str(), Target) ? Target : Path;
}

void RememberUnreadable(const std::string& Path)
{
    Unreadable.insert(TargetOf(Path));
}

bool IsUnreadable(const std::string& Path)
{
    return UnreadableUnnamed || (!Unreadable.empty() && Unreadable.count(TargetOf(Path)) != 0);
}

// The file's content, from the cache while it is valid. A missing file reads as empty; so does
// one that cannot be read, which is remembered as unreadable.
CachedFile& ReadForLookup(const char* Path)
{
    struct stat Status {};
    if (IsUnreadable(Path)) {
        Cache.reset(new CachedFile{Path, Status, {}, {}});
        return *Cache;
    }
    FileDescriptor File(OpenRegular(Path, Status, O_RDONLY));
    if (File.Fd >= 0 && Unchanged(Cache, Status) && Cache->Path == Path) return *Cache;
    bool Missing = File.Fd < 0 && errno == ENOENT;
    Cache.reset(new CachedFile{Path, Status, {}, {}});
    if (File.Fd < 0 || !Lock(File.Fd, LOCK_SH) || fstat(File.Fd, &Cache->Status) != 0 ||
        !ReadAll(File.Fd, Cache->Status, Cache->Content)) {
        if (!Missing) RememberUnreadable(Path);
        Cache->Content.clear();
        return *Cache;
    }
    return *Cache;
}

// The edit of the locked file Fd whose status is Status, read again now. Fd is open for
// writing when Writable.
bool EditFile(const std::string& Target, int Fd, bool Writable, const struct stat& Status,
              const char* Section, const char* Key, const char* Value)
{
    std::string Old;
    if (!ReadAll(Fd, Status, Old)) {
        RememberUnreadable(Target);
        return false;
    }
    EditPlan Plan;
    EditResult Result = PlanEdit(Old, Section, Key, Value, GetACP(), Plan);
    if (Result != EditResult::Changed) return Result == EditResult::Unchanged;
    // A file that may not be written is not replaced either, although its directory would
    // allow the rename: its mode says no. Root may write any file, yet a file without any write
    // bit is refused to root too, as Windows refuses a read-only file to administrators.
    if (!Writable || (geteuid() == 0 && (Status.st_mode & 0222) == 0)) return false;
    std::string_view Kept = Old;
    NewContent Content{Kept.substr(0, Plan.Offset), Plan.Insert,
                       Kept.substr(Plan.Offset + Plan.Remove)};
    return Replace(Target, Fd, Kept, Content, Status);
}

}  // namespace

static DWORD ReadKey(LPCSTR Section, LPCSTR Key, LPCSTR Default, LPSTR Buffer, DWORD Size,
                     LPCSTR Path)
{
    if (!Buffer || Size == 0) return 0;
    if (!Path || !Section || !Key) return CopyResult(std::nullopt, Default, Buffer, Size, GetACP());
    // The names asked for lose their blanks at both ends, as with Windows' API under Wine (no
    // documentation says otherwise): " Notes " reads [Notes].
    std::string_view Asked = Trim(Section), Name = Trim(Key);
    CachedFile& Kept = ReadForLookup(Path);
    const SectionLookup& Lookup =
        Kept.Sections.try_emplace(std::string(Asked), Kept.Content, Asked, GetACP())
            .first->second;
    return CopyResult(Lookup.FindValue(Name), Default, Buffer, Size, GetACP());
}

static BOOL WriteKey(LPCSTR Section, LPCSTR Key, LPCSTR Value, LPCSTR Path)
{
    std::string Target;
    if (!Path || !Section || !Key || !ResolveTarget(Path, Target) || IsUnreadable(Target)) {
        return false;
    }
    // The lookups' copy goes before the file is read again: one copy of it at a time.
    Cache.reset();
    for (int Attempt = 0; Attempt < 100; Attempt++) {
        // Open for writing, which NFS needs for an exclusive lock. A file the user may not write
        // is read under a shared lock: an edit that changes nothing succeeds, a change fails.
        struct stat Status;
        int Fd = OpenRegular(Target, Status, O_RDWR);
        bool Writable = Fd >= 0;
        if (!Writable && (errno == EACCES || errno == EPERM || errno == EROFS)) {
            Fd = OpenRegular(Target, Status, O_RDONLY);
        }
        FileDescriptor File(Fd);
        // A file that is gone since it was found is not made anew, as the platform's write
        // would: a new file would hold nothing but this key. A delete has nothing to do there.
        if (File.Fd < 0) return errno == ENOENT && !Value;
        if (!Lock(File.Fd, Writable ? LOCK_EX : LOCK_SH)) {
            RememberUnreadable(Target);
            return false;
        }
        // The path may have been replaced by another run while this one waited for the lock:
        // then the locked file is no longer the one to edit, and the write starts over (at most
        // 100 times).
        struct stat Current;
        if (stat(Target.c_str(), &Current) != 0 || !SameFile(Current, Status)) continue;
        if (fstat(File.Fd, &Status) != 0) return false;
        return EditFile(Target, File.Fd, Writable, Status, Section, Key, Value);
    }
    return false;
}

// Out of memory (or on any other exception, which never leaves these functions), the read answers
// the default and every later write of the file fails, so that a slot it could not read is never
// taken for an empty one.
DWORD GetPrivateProfileStringA(LPCSTR Section, LPCSTR Key, LPCSTR Default, LPSTR Buffer,
                               DWORD Size, LPCSTR Path)
{
    try {
        return ReadKey(Section, Key, Default, Buffer, Size, Path);
    } catch (...) {
        Cache.reset();
        try {
            if (Path) RememberUnreadable(Path);
        } catch (...) {
            UnreadableUnnamed = true;
        }
        return Buffer && Size ? CopyResult(std::nullopt, Default, Buffer, Size, GetACP()) : 0;
    }
}

// Changes no other byte of the file. Fails, with the file as it was, when the change could not be
// written, out of memory too (every allocation comes before the first byte written), when a set
// finds no file (it is never created), or when a read of this run found the file but could not
// read it; deleting a key that is not there, or from a file that is not there, succeeds.
BOOL WritePrivateProfileStringA(LPCSTR Section, LPCSTR Key, LPCSTR Value, LPCSTR Path)
{
    try {
        return WriteKey(Section, Key, Value, Path);
    } catch (...) {
        return false;
    }
}
