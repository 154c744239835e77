// The Windows side of the platform layer: the real Win32 API, with the profile calls checked.
// A write is made by the real WritePrivateProfileStringA on a copy of the file beside it, read
// back with the engine's read rules, flushed, and put in place whole with ReplaceFileA, so that
// a full disk, a kill or a write the platform cut short leaves the file as it was, and is
// reported. A read that finds the file but cannot open it makes every later write of it fail.
#define PLATFORM_RAW_PROFILE_API
#include "platform/platform.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/profile-rules.h"

namespace {

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

HANDLE Open(const std::string& Path, DWORD Access, DWORD Sharing, DWORD Disposition)
{
    return CreateFileA(Path.c_str(), Access, Sharing, nullptr, Disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// Files that a read found but could not open: every later write of them fails.
std::vector<std::string> Unreadable;

std::string FullPath(const char* Path)
{
    char Full[MAX_PATH];
    DWORD Length = GetFullPathNameA(Path, sizeof Full, Full, nullptr);
    return Length > 0 && Length < sizeof Full ? std::string(Full, Length) : std::string();
}

std::optional<std::string> ReadAll(HANDLE File)
{
    LARGE_INTEGER Size;
    if (!GetFileSizeEx(File, &Size) || Size.QuadPart > 0x7FFFFFFF) return std::nullopt;
    std::string Content((size_t)Size.QuadPart, '\0');
    DWORD Got = 0;
    bool Read = Content.empty() ||
                (ReadFile(File, Content.data(), (DWORD)Content.size(), &Got, nullptr) &&
                 Got == Content.size());
    return Read ? std::optional<std::string>(Content) : std::nullopt;
}

std::optional<std::string> ReadAll(const std::string& Path)
{
    Handle File(Open(Path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    return File ? ReadAll(File.Value) : std::nullopt;
}

// Writes Content from the file's start and ends the file there.
bool WriteAll(HANDLE File, const std::string& Content)
{
    DWORD Wrote = 0;
    return (Content.empty() || (WriteFile(File, Content.data(), (DWORD)Content.size(), &Wrote,
                                          nullptr) && Wrote == Content.size())) &&
           SetEndOfFile(File);
}

bool Flush(const std::string& Path)
{
    Handle File(Open(Path, GENERIC_WRITE, 0, OPEN_EXISTING));
    return File && FlushFileBuffers(File.Value);
}

// The real write on Path, whose bytes before were Kept: the bytes after, when they read right.
std::optional<std::string> WriteAndCheck(const std::string& Path, const std::string& Kept,
                                         const char* Section, const char* Key, const char* Value)
{
    if (!WritePrivateProfileStringA(Section, Key, Value, Path.c_str())) return std::nullopt;
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, Path.c_str());  // flushes its cache
    std::optional<std::string> After = ReadAll(Path);
    if (After && !profile::ReadsAsWritten(Kept, *After, Section, Key, Value)) After.reset();
    return After;
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

// Removes the temporary files Prefix<process id>-<n>.tmp whose process is gone.
void RemoveStaleTemporaries(const std::string& Directory, const std::string& Prefix)
{
    WIN32_FIND_DATAA Found;
    HANDLE Search = FindFirstFileA((Directory + Prefix + "*.tmp").c_str(), &Found);
    if (Search == INVALID_HANDLE_VALUE) return;
    do {
        // The pattern matches short names too: the long name must start with the prefix.
        if (_strnicmp(Found.cFileName, Prefix.c_str(), Prefix.size()) != 0) continue;
        char* End = nullptr;
        DWORD Id = strtoul(Found.cFileName + Prefix.size(), &End, 10);
        if (*End == '-' && !MayHaveWritten(Id, Found.ftLastWriteTime))
            DeleteFileA((Directory + Found.cFileName).c_str());
    } while (FindNextFileA(Search, &Found));
    FindClose(Search);
}

// The lock that every write of a file by this program takes, from the read of its bytes to their
// replacement, so that two runs never lose each other's edits: a mutex named after the file, in
// the global namespace so that runs of every session count. Ten seconds at most are waited for;
// a run that held it and died leaves it abandoned, which the next one takes as free.
struct WriteLock {
    HANDLE Mutex = nullptr;
    bool Held = false;
    explicit WriteLock(const std::string& Path)
    {
        char Name[64];
        snprintf(Name, sizeof Name, "Global\\vorkap-setup-%08lx",
                 (unsigned long)profile::HashName(Path));
        Mutex = CreateMutexA(nullptr, FALSE, Name);
        DWORD Waited = Mutex ? WaitForSingleObject(Mutex, 10000) : WAIT_FAILED;
        Held = Waited == WAIT_OBJECT_0 || Waited == WAIT_ABANDONED;
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;
    ~WriteLock()
    {
        if (Held) ReleaseMutex(Mutex);
        if (Mutex) CloseHandle(Mutex);
    }
};

// The directory refused a temporary file: the real write on the file itself, checked, with the
// kept bytes put back when the check fails. A crash in the middle can leave the file damaged.
bool WriteInPlace(const std::string& Path, const std::string& Kept, const char* Section,
                  const char* Key, const char* Value)
{
    if (WriteAndCheck(Path, Kept, Section, Key, Value)) return Flush(Path);
    Handle File(Open(Path, GENERIC_WRITE, 0, OPEN_EXISTING));
    if (File && WriteAll(File.Value, Kept)) FlushFileBuffers(File.Value);
    return false;
}

}  // namespace

DWORD CheckedGetPrivateProfileString(LPCSTR Section, LPCSTR Key, LPCSTR Default, LPSTR Buffer,
                                     DWORD Size, LPCSTR FileName)
{
    // Held open with full sharing during the real read, so that no other program can take the
    // file for itself between this check and the read.
    Handle File(Open(FileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     OPEN_EXISTING));
    DWORD Error = GetLastError();
    if (!File && ((Error != ERROR_FILE_NOT_FOUND && Error != ERROR_PATH_NOT_FOUND) ||
                  GetFileAttributesA(FileName) != INVALID_FILE_ATTRIBUTES))
        Unreadable.push_back(FullPath(FileName));
    return GetPrivateProfileStringA(Section, Key, Default, Buffer, Size, FileName);
}

BOOL CheckedWritePrivateProfileString(LPCSTR Section, LPCSTR Key, LPCSTR Value, LPCSTR FileName)
{
    std::string Path = FullPath(FileName);
    for (const std::string& Each : Unreadable)
        if (_stricmp(Each.c_str(), Path.c_str()) == 0) return FALSE;
    // Another run of this program that holds the lock past the wait fails this write and the
    // run's later ones, as a read that could not be made does.
    WriteLock Locked(Path);
    if (!Locked.Held) {
        Unreadable.push_back(Path);
        return FALSE;
    }
    // A name or value that would break a line, a read-only file, or one this user may not write
    // (the directory may take a temporary file all the same) is refused.
    DWORD Attributes = GetFileAttributesA(Path.c_str());
    if (!Section || !Key || strpbrk(Section, "\r\n") || strpbrk(Key, "\r\n") ||
        (Value && strpbrk(Value, "\r\n")) || Attributes == INVALID_FILE_ATTRIBUTES ||
        (Attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) ||
        !Handle(Open(Path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING)))
        return FALSE;
    // The bytes before the write, held against other writers until the replacement.
    Handle Original(Open(Path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    std::optional<std::string> Kept = Original ? ReadAll(Original.Value) : std::nullopt;
    if (!Kept || profile::IsUtf16(*Kept)) return FALSE;

    size_t NameStart = Path.find_last_of("\\/") + 1;
    std::string Directory = Path.substr(0, NameStart);
    std::string Prefix = "." + Path.substr(NameStart) + ".vorkap-";
    RemoveStaleTemporaries(Directory, Prefix);
    static unsigned Counter = 0;
    std::string Temporary = Directory + Prefix + std::to_string(GetCurrentProcessId()) + "-" +
                            std::to_string(++Counter) + ".tmp";
    Handle Copy(Open(Temporary, GENERIC_WRITE, 0, CREATE_NEW));
    if (!Copy) {
        if (GetLastError() != ERROR_ACCESS_DENIED) return FALSE;
        Original.Close();
        return WriteInPlace(Path, *Kept, Section, Key, Value);
    }
    bool Copied = WriteAll(Copy.Value, *Kept);
    Copy.Close();
    std::optional<std::string> After =
        Copied ? WriteAndCheck(Temporary, *Kept, Section, Key, Value) : std::nullopt;
    if (After && *After == *Kept) {  // nothing to change: the file is not written
        DeleteFileA(Temporary.c_str());
        return TRUE;
    }
    // Wine's ReplaceFileA does not carry the attributes over (Windows' does): the copy has them.
    DWORD Carried = Attributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                  FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    bool Ready = After && Flush(Temporary) &&
                 SetFileAttributesA(Temporary.c_str(), Carried ? Carried : FILE_ATTRIBUTE_NORMAL);
    Original.Close();
    // No backup file, which would be one more file to leave behind. No
    // REPLACEFILE_IGNORE_MERGE_ERRORS: a file whose security settings cannot be carried over stays
    // as it was, rather than being replaced by one that others may use differently.
    // REPLACEFILE_WRITE_THROUGH is documented as not supported, hence the flush before.
    bool Replaced = Ready && ReplaceFileA(Path.c_str(), Temporary.c_str(), nullptr, 0, nullptr,
                                          nullptr);
    DWORD Error = GetLastError();
    // ERROR_UNABLE_TO_MOVE_REPLACEMENT without a backup: the old file is gone and the copy, whole
    // and flushed, is still there; it is moved into place.
    if (Ready && !Replaced && Error == ERROR_UNABLE_TO_MOVE_REPLACEMENT)
        Replaced = MoveFileExA(Temporary.c_str(), Path.c_str(), MOVEFILE_WRITE_THROUGH);
    if (!Replaced) DeleteFileA(Temporary.c_str());
    // A directory that takes new files but does not let this one be replaced.
    if (Ready && !Replaced && Error == ERROR_ACCESS_DENIED)
        return WriteInPlace(Path, *Kept, Section, Key, Value);
    return Replaced;
}

void PlatformStartup()
{
    // Standard output starts in text mode, but a caller's environment can change the default
    // translation mode; set it again so that every LF of a message is written as CR LF.
    _setmode(_fileno(stdout), _O_TEXT);
    // The engine that checks the writes reads as the profile API does, in the ANSI code page.
    profile::ReadAsCodePage932 = GetACP() == 932;
}

void WriteStandardOutput(const char* Text)
{
    // The code page 932 bytes go out unchanged, with no conversion and no line end added.
    fputs(Text, stdout);
    fflush(stdout);
}
