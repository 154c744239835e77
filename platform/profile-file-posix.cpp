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
#include <string>
#include <utility>

#include "platform/profile.h"
#include "platform/replace-file.h"

namespace profile {
namespace {

// How often a write starts over because the file it locked was replaced meanwhile.
constexpr int kMaxReplacedRetries = 100;

// The last file read, kept while it provably cannot be stale: the same file (device and inode),
// of the same size and change times, whose change times were already in the past by the file
// system's clock when it was read. Any later change of the file sets its change time to that
// clock's present, so it can never look unchanged. Each section asked for gets a lookup, built
// on the first read of that section. A write takes the content over when it is still valid
// once the file is locked, instead of reading the file again.
struct CachedFile {
    std::string Path;
    struct stat Status;
    std::string Content;
    std::map<std::string, SectionLookup> Sections;
};
std::unique_ptr<CachedFile> Cache;

// The content of a file read but not kept: one changed too recently, or the one a write edits.
std::string Scratch;

auto TimeOf(const struct timespec& Time)
{
    return std::make_pair(Time.tv_sec, Time.tv_nsec);
}

bool SameFile(const struct stat& A, const struct stat& B)
{
    return A.st_dev == B.st_dev && A.st_ino == B.st_ino;
}

bool StillValid(const CachedFile& Kept, const struct stat& Status)
{
    return SameFile(Kept.Status, Status) && Kept.Status.st_size == Status.st_size &&
           TimeOf(Kept.Status.st_mtim) == TimeOf(Status.st_mtim) &&
           TimeOf(Kept.Status.st_ctim) == TimeOf(Status.st_ctim);
}

// The file's content for a lookup, from the cache when it is valid. Answers the cache entry
// that holds it, or null with the content in Scratch (or empty, for a file that cannot be read).
CachedFile* ReadForLookup(const char* Path)
{
    Scratch.clear();
    struct timespec Now;
    clock_gettime(CLOCK_REALTIME_COARSE, &Now);
    struct stat Status;
    FileDescriptor Fd(OpenRegular(Path, Status));
    if (!Fd.Valid()) return nullptr;
    if (Cache && Cache->Path == Path && StillValid(*Cache, Status)) return Cache.get();
    Cache.reset();
    if (!Lock(Fd.Get(), LOCK_SH) || fstat(Fd.Get(), &Status) != 0 ||
        !ReadAll(Fd.Get(), Status, Scratch)) {
        Scratch.clear();
        return nullptr;
    }
    if (TimeOf(Status.st_ctim) >= TimeOf(Now) || TimeOf(Status.st_mtim) >= TimeOf(Now)) {
        return nullptr;
    }
    Cache.reset(new CachedFile{Path, Status, std::move(Scratch), {}});
    return Cache.get();
}

// The edit of the locked file Fd whose status is *Status, or of no file yet (Status null): a
// delete has nothing to do there, a set creates the file.
bool EditFile(const std::string& Target, int Fd, const struct stat* Status,
              std::unique_ptr<CachedFile>& Known, const char* Section, const char* Key,
              const char* Value)
{
    std::string_view Old;  // the kept content, or the one read now; empty for no file
    const SectionLookup* Lookup = nullptr;
    if (Status && Known && StillValid(*Known, *Status)) {
        Old = Known->Content;
        auto Found = Known->Sections.find(Section);
        if (Found != Known->Sections.end()) Lookup = &Found->second;
    } else if (Status) {
        if (!ReadAll(Fd, *Status, Scratch)) return false;
        Old = Scratch;
    }
    EditPlan Plan;
    EditResult Result = PlanEdit(Old, Section, Key, Value, Plan, Lookup);
    if (Result != EditResult::Changed) return Result == EditResult::Unchanged;
    // A file that may not be written is not replaced either, although its directory would
    // allow the rename: its mode says no.
    if (Status && faccessat(AT_FDCWD, Target.c_str(), W_OK, AT_EACCESS) != 0) return false;
    NewContent Content{Old.substr(0, Plan.Offset), Plan.Insert,
                       Old.substr(Plan.Offset + Plan.Remove)};
    return Replace(Target, Old, Content, Status);
}

}  // namespace

}  // namespace profile

using namespace profile;

// A file that cannot be read (missing, not a regular file, refused) reads as empty, so Default
// is given.
DWORD GetPrivateProfileStringA(LPCSTR Section, LPCSTR Key, LPCSTR Default, LPSTR Buffer,
                               DWORD Size, LPCSTR Path)
{
    if (!Buffer || Size == 0) return 0;
    if (!Path || !Section || !Key) return ReadString({}, "", "", Default, Buffer, Size);
    // The names asked for lose their blanks at both ends, as with Windows' API under Wine (no
    // documentation says otherwise): " Notes " reads [Notes].
    std::string_view Asked = Trim(Section), Name = Trim(Key);
    CachedFile* Kept = ReadForLookup(Path);
    if (!Kept) return ReadString(Scratch, Asked, Name, Default, Buffer, Size);
    const SectionLookup& Lookup =
        Kept->Sections.try_emplace(std::string(Asked), Kept->Content, Asked).first->second;
    return Lookup.ReadString(Name, Default, Buffer, Size);
}

// Changes no other byte of the file. Fails, with the file as it was, when the change could not be
// written; deleting what is not there succeeds.
BOOL WritePrivateProfileStringA(LPCSTR Section, LPCSTR Key, LPCSTR Value, LPCSTR Path)
{
    std::string Target;
    if (!Path || !Section || !Key || !ResolveTarget(Path, Target)) return false;
    std::unique_ptr<CachedFile> Known = std::move(Cache);
    for (int Attempt = 0; Attempt < kMaxReplacedRetries; Attempt++) {
        struct stat Status;
        FileDescriptor Fd(OpenRegular(Target, Status));
        if (!Fd.Valid()) {
            return errno == ENOENT && EditFile(Target, -1, nullptr, Known, Section, Key, Value);
        }
        if (!Lock(Fd.Get(), LOCK_EX)) return false;
        // The path may have been replaced by another run while this one waited for the lock:
        // then the locked file is no longer the one to edit, and the write starts over.
        struct stat Current;
        if (stat(Target.c_str(), &Current) != 0 || !SameFile(Current, Status)) continue;
        if (fstat(Fd.Get(), &Status) != 0) return false;
        return EditFile(Target, Fd.Get(), &Status, Known, Section, Key, Value);
    }
    return false;
}
