// The checked profile write of the Windows program: the real WritePrivateProfileStringA, made so
// that notes.ini is never missing, never cut, and never changed in what was not asked. The real
// write never runs on notes.ini itself, only on a staged copy of it.
//
// A write of a file, given by a full ANSI path:
//   0. Find. The file is opened by its wide path and followed to its final path on its volume,
//      through every link, whatever its length or characters; from then on every call on it
//      takes that wide path ("\\?\" form). The run takes the file's lock (file-calls-win32.h),
//      named after that one spelling of it; where the file's path on its volume cannot be had,
//      the write fails rather than take a lock that another spelling of the path would miss.
//   1. Nothing to change. The file's bytes are kept, read through an open that writes nothing.
//      Where the engine's edit of them (profile.h, code page GetACP()) changes nothing, the write
//      succeeds without writing, whether or not the file may be written.
//   2. Refuse. A read-only file, one this user may not write, a UTF-16 file, and an edit that the
//      engine refuses (a name or value that would damage the file) fail here.
//   3. Stage. Killed runs' copies are removed, beside the file and in the user's temporary
//      folder. The kept bytes are copied to a staged file, which the real
//      WritePrivateProfileStringA then writes, through the copy's ANSI path. The copy stands
//      beside the file, named ".vk<process id in hex>-<n>.tmp", where that folder's path converts
//      to the ANSI code page and back unchanged and the copy's path is within the path limit;
//      else, or where the folder refuses it or the disk has no room for it, in the temporary
//      folder under the same test. The real write is tried again while another program holds
//      the copy.
//   4. Check. The copy is read back: it must read as the engine's own edit of the kept bytes,
//      the whole file in order (profile::ReadsAsWritten). A write that the disk cut fails here;
//      then the copy goes, and the engine's own edit is written in place (6).
//   5. Commit. A copy beside the file is flushed and gets the file's attributes, then its access
//      rules, last, and is renamed over the file in one step. A rename that another program's
//      handle blocks (a scanner, a reader) is tried again for about two seconds. A handle that
//      may delete the copy is opened before the rules are set, so that a copy whose new rules
//      deny this user its removal can still be removed when the rename fails.
//   6. In place. Where no rename can be made (the copy is in the temporary folder, the rename
//      keeps failing, or the file is reached through a link whose target is unknown), the
//      checked bytes are written into the file itself by the padded rewrite of profile.h, under
//      the sharing of the platform's own write, if the file still holds the kept bytes: it grows
//      with blanks (a full disk stops it there, before any old byte has changed), takes the new
//      content and blanks in one write, and is cut. Where no copy can be staged anywhere (a full
//      disk, a folder and a temporary folder that refuse new files), or the platform's write of
//      the copy fails or fails the check, the bytes written in place are the engine's own edit
//      of the kept bytes: so a disk with room for the file's growth but not for a copy and its
//      growth does not fail the write that the platform's own write of the file would make.
//   7. Roll back. Whatever fails, the staged copy is removed and the file keeps its bytes.
//
// What readers see: the old file until the rename, the new one after it; in place, between any
// two calls the file reads as the old or the new content. The key written reads as asked; other
// lines keep what they read as, not their bytes: the real write may respace them (under Wine it
// does), within the differences that profile::ReadsAsWritten allows.
// What FALSE means: the file's bytes are as they were, and no staged copy of this run is left (a
// killed run's copy is removed by the next run that writes).
// The one limit: a kill inside the one large write of the rewrite in place can leave a mix of the
// old and the new content. That path is taken only where no staged copy can be renamed over the
// file.
#pragma once

#include <windows.h>

namespace checked_write {

// The Windows calls that a write makes, one table, so that a test can make each fail in turn.
struct Calls {
    HANDLE(WINAPI* CreateFile)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    BOOL(WINAPI* ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* SetEndOfFile)(HANDLE);
    BOOL(WINAPI* FlushFileBuffers)(HANDLE);
    BOOL(WINAPI* SetFileAttributes)(LPCWSTR, DWORD);
    BOOL(WINAPI* SetFileSecurity)(LPCWSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR);
    BOOL(WINAPI* MoveFileEx)(LPCWSTR, LPCWSTR, DWORD);
    BOOL(WINAPI* DeleteFile)(LPCWSTR);
    BOOL(WINAPI* SetFileInformationByHandle)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
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
