// The Windows side of the platform layer: the real Win32 API, with the profile calls checked and
// the message box shown from code page 932.
// A write is the checked write of checked-write-win32.h. A read that finds the file but cannot
// open it makes every later write of it fail.
#define PLATFORM_RAW_PROFILE_API
#define PLATFORM_RAW_MESSAGE_BOX
#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/checked-write-win32.h"
#include "platform/file-calls-win32.h"

namespace {

// Files that a read found but could not open: every later write of them fails. When one could
// not be remembered (out of memory), every write fails.
std::vector<std::string> Unreadable;
bool UnreadableUnnamed = false;

std::string FullPath(const char* Path)
{
    char Full[MAX_PATH];
    DWORD Length = GetFullPathNameA(Path, sizeof Full, Full, nullptr);
    return Length > 0 && Length < sizeof Full ? std::string(Full, Length) : std::string();
}

// Remembers Path (a full path, or a name made full here) as a file whose writes all fail.
void RememberUnreadable(const char* Path)
{
    try {
        Unreadable.push_back(FullPath(Path));
    } catch (const std::exception&) {
        UnreadableUnnamed = true;
    }
}

// Whether Path is a file whose writes all fail.
bool IsUnreadable(const char* Path)
{
    char Full[MAX_PATH];
    DWORD Length = GetFullPathNameA(Path, sizeof Full, Full, nullptr);
    if (UnreadableUnnamed || Length == 0 || Length >= sizeof Full) return true;
    for (const std::string& Each : Unreadable)
        if (_stricmp(Each.c_str(), Full) == 0) return true;
    return false;
}

}  // namespace

DWORD CheckedGetPrivateProfileString(LPCSTR Section, LPCSTR Key, LPCSTR Default, LPSTR Buffer,
                                     DWORD Size, LPCSTR FileName)
{
    // Held open with full sharing during the real read, so that no other program can take the
    // file for itself between this check and the read. Another program's hold is waited out as
    // a write waits it out, once: a file already found unreadable is not waited for again.
    HANDLE File = INVALID_HANDLE_VALUE;
    auto OpenIt = [&] {
        File = CreateFileA(FileName, GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return File != INVALID_HANDLE_VALUE;
    };
    if (IsUnreadable(FileName)) {
        OpenIt();
    } else {
        checked_write::Retried(OpenIt);
    }
    DWORD Error = GetLastError();
    if (File == INVALID_HANDLE_VALUE &&
        ((Error != ERROR_FILE_NOT_FOUND && Error != ERROR_PATH_NOT_FOUND) ||
         GetFileAttributesA(FileName) != INVALID_FILE_ATTRIBUTES))
        RememberUnreadable(FileName);
    DWORD Count = GetPrivateProfileStringA(Section, Key, Default, Buffer, Size, FileName);
    if (File != INVALID_HANDLE_VALUE) CloseHandle(File);
    return Count;
}

BOOL CheckedWritePrivateProfileString(LPCSTR Section, LPCSTR Key, LPCSTR Value, LPCSTR FileName)
{
    char Path[MAX_PATH];
    DWORD Length = GetFullPathNameA(FileName, sizeof Path, Path, nullptr);
    if (Length == 0 || Length >= sizeof Path || IsUnreadable(Path)) return FALSE;
    bool LockWaitedOut = false;
    if (checked_write::Write(Path, Section, Key, Value, LockWaitedOut)) return TRUE;
    if (!LockWaitedOut) return FALSE;
    // Another run of this program held the lock past the wait: the run's later writes of the
    // file fail too, as after a read that could not be made.
    RememberUnreadable(Path);
    return FALSE;
}

int MessageBoxCodePage932(HWND Owner, LPCSTR Text, LPCSTR Caption, UINT Type)
{
    // Large enough for every message of the program; a longer text fails the conversion and
    // goes to MessageBoxA unchanged. The flags are those of MessageBoxA's own conversion, so
    // that on a Japanese system the box shows the same characters as before.
    wchar_t WideText[1024];
    wchar_t WideCaption[128];
    if (MultiByteToWideChar(932, 0, Text, -1, WideText, sizeof WideText / sizeof *WideText) == 0 ||
        MultiByteToWideChar(932, 0, Caption, -1, WideCaption,
                            sizeof WideCaption / sizeof *WideCaption) == 0)
        return MessageBoxA(Owner, Text, Caption, Type);
    return MessageBoxW(Owner, WideText, WideCaption, Type);
}

void PlatformStartup()
{
    // Standard output starts in text mode, but a caller's environment can change the default
    // translation mode; set it again so that every LF of a message is written as CR LF.
    _setmode(_fileno(stdout), _O_TEXT);
}

void WriteStandardOutput(const char* Text)
{
    // The code page 932 bytes go out unchanged, with no conversion and no line end added.
    fputs(Text, stdout);
    fflush(stdout);
}
