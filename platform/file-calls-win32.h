// The file operations of the checked write (checked-write-win32.h), each Windows call through
// the table that a test can make fail: opens, renames and deletes that wait out other programs'
// handles, whole reads and writes, a file's final path and access rules (file-calls-win32.cpp),
// and the write lock and the removal of stale staged copies (write-lock-win32.cpp).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/checked-write-win32.h"

namespace checked_write {

inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The sharing of the platform's own profile write: other readers and writers, not a rename.
inline constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

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

// Removes the file, waiting out other programs' handles.
bool Delete(const std::string& Path);
// Opens the file as CreateFileA does, waiting out other programs' handles.
HANDLE Open(const std::string& Path, DWORD Access, DWORD Sharing, DWORD Disposition);
// Reads the whole file, from its start.
bool ReadAll(HANDLE File, std::string& Content);
bool ReadAll(const std::string& Path, std::string& Content);
// Writes Bytes at Offset.
bool WriteAt(HANDLE File, size_t Offset, std::string_view Bytes);
// Ends the file after its first Size bytes.
bool EndAt(HANDLE File, size_t Size);
// Writes Padded from the file's start, ends the file after its first Length bytes, flushes it.
bool Overwrite(HANDLE File, std::string_view Padded, size_t Length);
// The final path of an open file, without "\\?\": the target of the links that lead to it,
// with long names for short ones. Without its volume (VOLUME_NAME_NONE), a path that every
// spelling of the file's path shares: drive letter, UNC or subst alike.
std::optional<std::string> FinalPath(HANDLE File, DWORD Volume = VOLUME_NAME_DOS);
// Gives the file To the access rules (DACL) of the file From, where they differ. True when To
// then has From's owner and access rules; false where it cannot have them (another owner, rules
// its file system cannot hold).
bool CarryAccessRules(const std::string& From, const std::string& To);

// Removes, from Directory, the staged copies ".vk<process id in hex>-<n>.tmp" whose process is
// gone, and those of earlier versions, ".notes.ini.vorkap-<process id>-<n>.tmp".
void RemoveStaleCopies(const std::string& Directory);

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
    // Waits for the lock of the file with that volume serial number and path on its volume.
    FileLock(DWORD VolumeSerial, const std::string& PathOnVolume);
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();
};

}  // namespace checked_write
