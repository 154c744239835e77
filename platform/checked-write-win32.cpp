// The checked profile write of the Windows program; its contract is in checked-write-win32.h.
#define PLATFORM_RAW_PROFILE_API
#include "platform/checked-write-win32.h"

#include <sddl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/profile.h"

namespace checked_write {

Calls Use = {CreateFileA,      ReadFile,           WriteFile,        SetEndOfFile,
             FlushFileBuffers, SetFileAttributesA, SetFileSecurityA, MoveFileExA,
             DeleteFileA,      WritePrivateProfileStringA,           Sleep};

namespace {

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The sharing of the platform's own profile write: other readers and writers, not a rename.
const DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Closes the handle it holds, if any, when it goes.
struct Handle {
    HANDLE Value;
    explicit Handle(HANDLE Opened) : Value(Opened) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { Close(); }
    explicit operator bool() const { return Value != INVALID_HANDLE_VALUE; }
    void Close()
    {
        if (*this) CloseHandle(Value);
        Value = INVALID_HANDLE_VALUE;
    }
};

// Tries Attempt until it succeeds, or for about two seconds while it fails because another
// program holds the file (a scanner, an indexer, a backup), with growing pauses. An open that
// another handle's sharing refuses fails with a sharing or lock violation; a rename or a delete
// of a file that is open anywhere, also with access denied.
template <typename Try>
bool Retried(Try Attempt, bool Renaming = false)
{
    for (DWORD Pause = 10, Waited = 0;; Pause *= 2) {
        if (Attempt()) return true;
        DWORD Error = GetLastError();
        bool Held = Error == ERROR_SHARING_VIOLATION || Error == ERROR_LOCK_VIOLATION ||
                    (Renaming && Error == ERROR_ACCESS_DENIED);
        if (!Held || Waited >= 2000) return false;
        Pause = Pause < 2000 - Waited ? Pause : 2000 - Waited;
        Use.Sleep(Pause);
        Waited += Pause;
    }
}

bool Delete(const std::string& Path)
{
    return Retried([&] { return Use.DeleteFile(Path.c_str()); }, true);
}

HANDLE Open(const std::string& Path, DWORD Access, DWORD Sharing, DWORD Disposition)
{
    HANDLE File = INVALID_HANDLE_VALUE;
    Retried([&] {
        File = Use.CreateFile(Path.c_str(), Access, Sharing, nullptr, Disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        return File != INVALID_HANDLE_VALUE;
    });
    return File;
}

bool ReadAll(HANDLE File, std::string& Content)
{
    LARGE_INTEGER Size, Start{};
    if (!GetFileSizeEx(File, &Size) || Size.QuadPart > 0x7FFFFFFF ||
        !SetFilePointerEx(File, Start, nullptr, FILE_BEGIN))
        return false;
    Content.assign((size_t)Size.QuadPart, '\0');
    DWORD Got = 0;
    return Content.empty() ||
           (Use.ReadFile(File, Content.data(), (DWORD)Content.size(), &Got, nullptr) &&
            Got == Content.size());
}

bool ReadAll(const std::string& Path, std::string& Content)
{
    Handle File(Open(Path, GENERIC_READ, kShareAll, OPEN_EXISTING));
    return File && ReadAll(File.Value, Content);
}

bool WriteAt(HANDLE File, size_t Offset, std::string_view Bytes)
{
    LARGE_INTEGER Position;
    Position.QuadPart = (LONGLONG)Offset;
    DWORD Wrote = 0;
    return SetFilePointerEx(File, Position, nullptr, FILE_BEGIN) &&
           (Bytes.empty() || (Use.WriteFile(File, Bytes.data(), (DWORD)Bytes.size(), &Wrote,
                                            nullptr) && Wrote == Bytes.size()));
}

bool EndAt(HANDLE File, size_t Size)
{
    LARGE_INTEGER Position;
    Position.QuadPart = (LONGLONG)Size;
    return SetFilePointerEx(File, Position, nullptr, FILE_BEGIN) && Use.SetEndOfFile(File);
}

// Writes Padded from the file's start, ends the file after its first Length bytes, flushes it.
bool Overwrite(HANDLE File, std::string_view Padded, size_t Length)
{
    return WriteAt(File, 0, Padded) && EndAt(File, Length) && Use.FlushFileBuffers(File);
}

// The final path of an open file, without "\\?\": the target of the links that lead to it,
// with long names for short ones. Without its volume (VOLUME_NAME_NONE), a path that every
// spelling of the file's path shares: drive letter, UNC or subst alike.
std::optional<std::string> FinalPath(HANDLE File, DWORD Volume = VOLUME_NAME_DOS)
{
    char Final[MAX_PATH + 8];
    DWORD Length = GetFinalPathNameByHandleA(File, Final, sizeof Final,
                                             FILE_NAME_NORMALIZED | Volume);
    if (Length == 0 || Length >= sizeof Final) return std::nullopt;
    std::string Path(Final, Length);
    if (Path.rfind("\\\\?\\UNC\\", 0) == 0) {
        Path.replace(0, 8, "\\\\");
    } else if (Path.rfind("\\\\?\\", 0) == 0) {
        Path.erase(0, 4);
    }
    if (Path.size() >= MAX_PATH) return std::nullopt;
    return Path;
}

// Whether process Id may have written a file last written at Written: running, and started
// before then. Ids are reused: this process, or one started later, did not write it.
bool MayHaveWritten(DWORD Id, FILETIME Written)
{
    if (Id == GetCurrentProcessId()) return false;
    HANDLE Process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, Id);
    if (!Process) return GetLastError() == ERROR_ACCESS_DENIED;  // another user's process
    DWORD Exit = 0;
    FILETIME Created, Exited, Kernel, User;
    bool Writer = GetExitCodeProcess(Process, &Exit) && Exit == STILL_ACTIVE &&
                  GetProcessTimes(Process, &Created, &Exited, &Kernel, &User) &&
                  CompareFileTime(&Created, &Written) <= 0;
    CloseHandle(Process);
    return Writer;
}

// Removes, from Directory, the staged copies ".vk<process id in hex>-<n>.tmp" whose process is
// gone, and those of earlier versions, ".notes.ini.vorkap-<process id>-<n>.tmp".
void RemoveStaleCopies(const std::string& Directory)
{
    struct Naming {
        const char* Prefix;
        int Base;
    };
    const Naming kNamings[] = {{".vk", 16}, {".notes.ini.vorkap-", 10}};
    WIN32_FIND_DATAA Found;
    HANDLE Search = FindFirstFileA((Directory + ".*.tmp").c_str(), &Found);
    if (Search == INVALID_HANDLE_VALUE) return;
    do {
        for (const Naming& Each : kNamings) {
            // The pattern matches short names too: the long name must start with the prefix.
            size_t Length = strlen(Each.Prefix);
            if (_strnicmp(Found.cFileName, Each.Prefix, Length) != 0) continue;
            char* End = nullptr;
            DWORD Id = strtoul(Found.cFileName + Length, &End, Each.Base);
            if (*End == '-' && !MayHaveWritten(Id, Found.ftLastWriteTime))
                Use.DeleteFile((Directory + Found.cFileName).c_str());
        }
    } while (FindNextFileA(Search, &Found));
    FindClose(Search);
}

// The lock that every write of a file by this program takes, from the read of its bytes to their
// replacement, so that two runs never lose each other's edits: a mutex in the global namespace
// (runs of every session count) named after the file's volume serial number and its final path
// on that volume, which every spelling of its path shares. (Not after the file's index: each
// replacement gives the file a new one.) Every user may wait on it and release it. Ten seconds
// at most are waited for; a run that held it and died leaves it abandoned, which the next one
// takes as free.
struct FileLock {
    HANDLE Mutex = nullptr;
    bool Held = false;
    FileLock(DWORD VolumeSerial, const std::string& PathOnVolume)
    {
        uint32_t Hash = 2166136261u;  // FNV-1a of the path, its letters folded to upper case
        for (unsigned char Byte : PathOnVolume)
            Hash = (Hash ^ (Byte >= 'a' && Byte <= 'z' ? Byte - 32 : Byte)) * 16777619u;
        char Name[64];
        snprintf(Name, sizeof Name, "Global\\vorkap-setup-%08lx-%08lx",
                 (unsigned long)VolumeSerial, (unsigned long)Hash);
        SECURITY_ATTRIBUTES Security{sizeof Security, nullptr, FALSE};
        // Everyone: SYNCHRONIZE | MUTEX_MODIFY_STATE, to wait on it and release it.
        ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "D:(A;;0x100001;;;WD)", SDDL_REVISION_1, &Security.lpSecurityDescriptor, nullptr);
        Mutex = CreateMutexA(&Security, FALSE, Name);
        if (!Mutex && GetLastError() == ERROR_ACCESS_DENIED)
            Mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, Name);
        LocalFree(Security.lpSecurityDescriptor);
        DWORD Waited = Mutex ? WaitForSingleObject(Mutex, 10000) : WAIT_FAILED;
        Held = Waited == WAIT_OBJECT_0 || Waited == WAIT_ABANDONED;
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock()
    {
        if (Held) ReleaseMutex(Mutex);
        if (Mutex) CloseHandle(Mutex);
    }
};

// One write of one file: owns the staged copy's fate, from its creation to its rename over the
// file or its removal.
class StagedWrite {
public:
    StagedWrite(const char* Section, const char* Key, const char* Value)
        : Section_(Section), Key_(Key), Value_(Value) {}
    StagedWrite(const StagedWrite&) = delete;
    StagedWrite& operator=(const StagedWrite&) = delete;
    ~StagedWrite()
    {
        if (!Staged_.empty()) Delete(Staged_);
    }

    // The whole write of the file at Path.
    bool Run(const std::string& Path, bool& LockWaitedOut)
    {
        // A handle that reads no byte and blocks no one: the file's identity and final path. It
        // is closed before the wait for the lock, since any open handle makes the rename of the
        // run that holds the lock wait.
        Handle Probe(Open(Path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING));
        BY_HANDLE_FILE_INFORMATION Identity;
        if (!Probe || !GetFileInformationByHandle(Probe.Value, &Identity)) return false;
        std::optional<std::string> Final = FinalPath(Probe.Value);
        std::optional<std::string> OnVolume = FinalPath(Probe.Value, VOLUME_NAME_NONE);
        Probe.Close();
        FileLock Locked(Identity.dwVolumeSerialNumber, OnVolume ? *OnVolume : Path);
        LockWaitedOut = !Locked.Held;
        if (!Locked.Held) return false;
        Target_ = Final ? *Final : Path;
        DWORD Attributes = GetFileAttributesA(Target_.c_str());
        // Where a link cannot be followed to its file, the rename would replace the link itself.
        bool MayRename = Final || !(Attributes & FILE_ATTRIBUTE_REPARSE_POINT);
        // A read-only file, or one this user may not write (the folder may take a copy all the
        // same), is refused.
        if (Attributes == INVALID_FILE_ATTRIBUTES ||
            (Attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
            return false;
        {
            Handle Original(
                Open(Target_, GENERIC_READ | GENERIC_WRITE, kShareReadWrite, OPEN_EXISTING));
            if (!Original || !ReadAll(Original.Value, Kept_) || profile::IsUtf16(Kept_))
                return false;
        }
        if (!Stage()) return WriteFileItself();
        std::string After;
        // A write that the platform only cached reads back as the old content and fails the check.
        if (!Use.WriteProfileString(Section_, Key_, Value_, Staged_.c_str())) return false;
        if (!ReadAll(Staged_, After) ||
            !profile::ReadsAsWritten(Kept_, After, Section_, Key_, Value_))
            return false;
        if (After == Kept_) return true;  // nothing to change: the file is not written
        if (MayRename && Beside_ && Rename(Attributes)) return true;
        return WriteInPlace(After);
    }

private:
    // Makes the staged copy of the kept bytes: beside the target, else in the temporary folder.
    bool Stage()
    {
        size_t NameStart = Target_.find_last_of("\\/") + 1;
        std::string Directory = Target_.substr(0, NameStart);
        RemoveStaleCopies(Directory);
        if (StageIn(Directory)) return Beside_ = true;
        char Temporary[MAX_PATH];
        DWORD Length = GetTempPathA(sizeof Temporary, Temporary);
        if (Length == 0 || Length >= sizeof Temporary) return false;
        RemoveStaleCopies(Temporary);
        return StageIn(Temporary);
    }

    bool StageIn(const std::string& Directory)
    {
        static unsigned Counter = 0;
        char Name[32];
        snprintf(Name, sizeof Name, ".vk%lx-%u.tmp", (unsigned long)GetCurrentProcessId(),
                 ++Counter);
        // Named before it is made: from then on the copy's fate is this object's.
        Staged_ = Directory + Name;
        Handle Copy(Staged_.size() < MAX_PATH
                        ? Use.CreateFile(Staged_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL, nullptr)
                        : INVALID_HANDLE_VALUE);
        if (!Copy) {
            Staged_.clear();
            return false;
        }
        if (WriteAt(Copy.Value, 0, Kept_)) return true;
        Copy.Close();
        Delete(Staged_);
        Staged_.clear();
        return false;
    }

    // Carries the target's attributes and access rules onto the staged copy, flushes it and
    // renames it over the target. False, with the target as it was, where any of it fails.
    bool Rename(DWORD Attributes)
    {
        DWORD Carried = Attributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
        Handle Copy(Open(Staged_, GENERIC_WRITE, kShareAll, OPEN_EXISTING));
        bool Ready = Copy && Use.FlushFileBuffers(Copy.Value);
        Copy.Close();
        if (!Ready || !CarryAccessRules() ||
            !Use.SetFileAttributes(Staged_.c_str(), Carried ? Carried : FILE_ATTRIBUTE_NORMAL))
            return false;
        // One rename, which a reader sees whole; the write-through flushes the folder's entry.
        auto Move = [&] {
            return Use.MoveFileEx(Staged_.c_str(), Target_.c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        };
        if (!Retried(Move, true))
            return false;
        Staged_.clear();
        return true;
    }

    // Gives the staged copy the target's access rules (DACL), where they differ. True when the
    // copy then has the target's owner and access rules; where it cannot have them (another
    // owner, rules the folder's file system cannot hold), the target is written in place.
    bool CarryAccessRules()
    {
        const SECURITY_INFORMATION kRules = DACL_SECURITY_INFORMATION;
        auto Get = [](const std::string& Path, std::vector<char>& To) {
            DWORD Needed = 0;
            To.resize(1024);
            if (GetFileSecurityA(Path.c_str(), OWNER_SECURITY_INFORMATION | kRules, To.data(),
                                 (DWORD)To.size(), &Needed))
                return true;
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
            To.resize(Needed);
            return GetFileSecurityA(Path.c_str(), OWNER_SECURITY_INFORMATION | kRules, To.data(),
                                    (DWORD)To.size(), &Needed) != FALSE;
        };
        auto SameOwner = [](std::vector<char>& A, std::vector<char>& B) {
            PSID OwnerA = nullptr, OwnerB = nullptr;
            BOOL Defaulted = FALSE;
            return GetSecurityDescriptorOwner(A.data(), &OwnerA, &Defaulted) &&
                   GetSecurityDescriptorOwner(B.data(), &OwnerB, &Defaulted) && OwnerA &&
                   OwnerB && EqualSid(OwnerA, OwnerB);
        };
        auto SameRules = [](std::vector<char>& A, std::vector<char>& B) {
            PACL AclA = nullptr, AclB = nullptr;
            BOOL PresentA = FALSE, PresentB = FALSE, Defaulted = FALSE;
            return GetSecurityDescriptorDacl(A.data(), &PresentA, &AclA, &Defaulted) &&
                   GetSecurityDescriptorDacl(B.data(), &PresentB, &AclB, &Defaulted) &&
                   PresentA == PresentB && (AclA == nullptr) == (AclB == nullptr) &&
                   (!AclA || (AclA->AclSize == AclB->AclSize &&
                              memcmp(AclA, AclB, AclA->AclSize) == 0));
        };
        std::vector<char> Rules, CopyRules;
        if (!Get(Target_, Rules) || !Get(Staged_, CopyRules) || !SameOwner(Rules, CopyRules))
            return false;
        if (SameRules(Rules, CopyRules)) return true;
        return Use.SetFileSecurity(Staged_.c_str(), kRules, Rules.data()) &&
               Get(Staged_, CopyRules) && SameRules(Rules, CopyRules);
    }

    // Writes After into the target itself, sharing it as the platform's own write does, when the
    // target still holds the kept bytes. Between any two calls the target reads as the kept bytes
    // or as After, since blanks at a line's end and lines of blanks read as nothing: it grows
    // with blanks first (a full disk stops the write there, before any old byte has changed),
    // then After and blanks up to that size are written in one call, then the blanks are cut.
    bool WriteInPlace(const std::string& After)
    {
        size_t Larger = After.size() > Kept_.size() ? After.size() : Kept_.size();
        std::string Forward = After, Back = Kept_, Now;
        Forward.resize(Larger, ' ');
        Back.resize(Larger, ' ');
        Handle File(Open(Target_, GENERIC_READ | GENERIC_WRITE, kShareReadWrite, OPEN_EXISTING));
        if (!File || !ReadAll(File.Value, Now)) return false;
        if (Now == After) return true;
        if (Now != Kept_) return false;  // another program changed it meanwhile: left as it is
        Now.clear();
        Now.shrink_to_fit();
        if (!WriteAt(File.Value, Kept_.size(), std::string_view(Back).substr(Kept_.size()))) {
            EndAt(File.Value, Kept_.size());
            return false;
        }
        if (Overwrite(File.Value, Forward, After.size())) return true;
        Overwrite(File.Value, Back, Kept_.size());
        return false;
    }

    // No staged copy could be made anywhere: the real write on the target itself, checked, with
    // the kept bytes put back when the check fails.
    bool WriteFileItself()
    {
        std::string After;
        bool Written = Use.WriteProfileString(Section_, Key_, Value_, Target_.c_str());
        if (Written && ReadAll(Target_, After) &&
            profile::ReadsAsWritten(Kept_, After, Section_, Key_, Value_)) {
            Handle File(Open(Target_, GENERIC_WRITE, kShareReadWrite, OPEN_EXISTING));
            return File && Use.FlushFileBuffers(File.Value);
        }
        Handle File(Open(Target_, GENERIC_WRITE, kShareReadWrite, OPEN_EXISTING));
        if (File) Overwrite(File.Value, Kept_, Kept_.size());
        return false;
    }

    const char* Section_;
    const char* Key_;
    const char* Value_;
    std::string Target_;  // the file written: the final path of the one asked for
    std::string Kept_;    // its bytes before the write
    std::string Staged_;  // the staged copy, while there is one
    bool Beside_ = false;  // the copy stands beside the target, where a rename can move it
};

}  // namespace

BOOL Write(const char* Path, const char* Section, const char* Key, const char* Value,
           bool& LockWaitedOut)
{
    LockWaitedOut = false;
    if (!Section || !Key || strpbrk(Section, "\r\n") || strpbrk(Key, "\r\n") ||
        (Value && strpbrk(Value, "\r\n")))
        return FALSE;
    try {
        StagedWrite Staged(Section, Key, Value);
        return Staged.Run(Path, LockWaitedOut);
    } catch (const std::exception&) {  // out of memory: the staged copy goes, the file stays
        return FALSE;
    }
}

}  // namespace checked_write
