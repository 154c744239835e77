// The checked profile write of the Windows program: the real WritePrivateProfileStringA, made so
// that notes.ini is never missing, never cut, and never changed in what was not asked.
//
// A write of a file, under a lock that every run of the program takes for that file:
//   1. Stage. The file's bytes are kept and copied to a staged file, which the real
//      WritePrivateProfileStringA then writes. The copy stands beside the file, named
//      ".vk<process id in hex>-<n>.tmp"; where the folder refuses it, the disk has no room for it
//      or its name would pass the path limit, it stands in the user's temporary folder.
//   2. Check. The copy is read back with the engine's read rules: the key must read as written
//      (a delete as the engine's own delete leaves it) and every other key as before.
//   3. Commit. A copy beside the file gets the file's attributes and access rules, is flushed,
//      and is renamed over the file in one step. A rename that another program's open handle
//      blocks (a scanner, a reader) is tried again for about two seconds. Where no rename can be
//      made, the checked bytes are written into the file itself, through a handle that shares
//      reading and writing as the platform's own write does.
//   4. Roll back. Whatever fails, the staged copy is removed and the file keeps its bytes.
//
// What readers see: the old file until the rename, the new one after it. A write in place grows
// the file with blanks, writes the new content and blanks over it in one call, then cuts the
// blanks, so that between any two calls the file reads as the old or the new content.
// What FALSE means: the file's bytes are as they were, and no staged copy of this run is left (a
// killed run's copy is removed by a later write). Only when no staged copy can be made anywhere
// is the real write run on the file itself; a kill inside that one call can leave it cut.
#pragma once

#include <windows.h>

namespace checked_write {

// The Windows calls that a write makes, one table, so that a test can make each fail in turn.
struct Calls {
    HANDLE(WINAPI* CreateFile)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    BOOL(WINAPI* ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* SetEndOfFile)(HANDLE);
    BOOL(WINAPI* FlushFileBuffers)(HANDLE);
    BOOL(WINAPI* SetFileAttributes)(LPCSTR, DWORD);
    BOOL(WINAPI* SetFileSecurity)(LPCSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR);
    BOOL(WINAPI* MoveFileEx)(LPCSTR, LPCSTR, DWORD);
    BOOL(WINAPI* DeleteFile)(LPCSTR);
    BOOL(WINAPI* WriteProfileString)(LPCSTR, LPCSTR, LPCSTR, LPCSTR);
    void(WINAPI* Sleep)(DWORD);
};
// The real calls, unless a test has replaced some.
extern Calls Use;

// Sets Section/Key of the file at the full path Path to Value (deletes the key when Value is
// null), as stated above. Out of memory is a failure like any other. LockWaitedOut tells a
// failure because another run held the file's lock for the whole wait.
BOOL Write(const char* Path, const char* Section, const char* Key, const char* Value,
           bool& LockWaitedOut);

}  // namespace checked_write
