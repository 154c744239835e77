// The file operations of the checked write (checked-write-win32.h), each Windows call through
// the table that a test can make fail: opens, renames and deletes that wait out other programs'
// handles, whole reads and writes, the rewrite in place, a file's final path and access rules,
// the paths that the platform's ANSI profile write can take (file-calls-win32.cpp), and the
// write lock and the removal of stale staged copies (write-lock-win32.cpp). Every path is wide
// and every call on it a W call: a path of any length or characters reaches the file it names.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/checked-write-win32.h"

namespace profile {
struct InPlacePlan;
}

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
bool Delete(const std::wstring& Path);
// Opens the file as CreateFileW does, waiting out other programs' handles.
HANDLE Open(const std::wstring& Path, DWORD Access, DWORD Sharing, DWORD Disposition);
// Reads the whole file, from its start, waiting out other programs' locks.
bool ReadAll(HANDLE File, std::string& Content);
bool ReadAll(const std::wstring& Path, std::string& Content);
// Writes Bytes at Offset.
bool WriteAt(HANDLE File, size_t Offset, std::string_view Bytes);
// Ends the file after its first Size bytes.
bool EndAt(HANDLE File, size_t Size);
// Carries Plan out on File, which holds Plan's old content (profile.h: grow with blanks, write
// the new content padded in one call, cut, flush), and puts the old content back where a step
// fails. True when the file then holds the new content.
bool RewriteInPlace(HANDLE File, const profile::InPlacePlan& Plan);
// The final path of an open file: the target of the links that lead to it, with long names for
// short ones, of any length. With its volume (VOLUME_NAME_DOS), in the "\\?\" form that opens
// take whatever its length; without (VOLUME_NAME_NONE), a path that every spelling of the file's
// path shares: drive letter, UNC, subst or 8.3 name alike.
std::optional<std::wstring> FinalPath(HANDLE File, DWORD Volume = VOLUME_NAME_DOS);
// The same, where the platform cannot give it (Wine gives no final path of MAX_PATH characters
// or more): the file's name on its volume (VOLUME_NAME_NONE), or that name on the volume of the
// path Given that opened the file (VOLUME_NAME_DOS), when it opens this very file.
std::optional<std::wstring> FinalPath(HANDLE File, const std::wstring& Given, DWORD Volume);
// Path without its "\\?\" (or "\\?\UNC\") prefix: the form that ANSI calls take.
std::wstring WithoutPrefix(const std::wstring& Path);
// Path in the ANSI code page, when it converts there and back unchanged (no character mapped to
// a look-alike or to '?') and fits the path limit: the path that the platform's ANSI profile
// write takes to the same file.
std::optional<std::string> AnsiPath(const std::wstring& Path);
// Gives the file To the access rules (DACL) of the file From, where they differ. True when To
// then has From's owner and access rules; false where it cannot have them (another owner, rules
// its file system cannot hold).
bool CarryAccessRules(const std::wstring& From, const std::wstring& To);

// Removes, from Directory (ending in '\'), the staged copies of runs that are gone, by their
// exact names alone: ".vk<process id in hex>-<n>.tmp" and, of earlier versions,
// ".notes.ini.vorkap-<process id>-<n>.tmp", the id non-zero, each number of at least one digit.
void RemoveStaleCopies(const std::wstring& Directory);

// The lock that every write of a file by this program takes, from the read of its bytes to their
// replacement, so that two runs never lose each other's edits: a mutex in the global namespace
// (runs of every session count) named after the file's volume serial number and its final path
// on that volume, case-folded, which every spelling of its path shares. (Not after the file's
// index: each replacement gives the file a new one, and some network file systems give none.)
// Every user may wait on it and release it. Ten seconds at most are waited for; a run that held
// it and died leaves it abandoned, which the next one takes as free.
struct FileLock {
    HANDLE Mutex = nullptr;
    bool Held = false;
    // Waits for the lock of the file with that volume serial number and path on its volume.
    FileLock(DWORD VolumeSerial, const std::wstring& PathOnVolume);
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();
};

}  // namespace checked_write
