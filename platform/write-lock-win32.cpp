// The write lock of a file and the removal of stale staged copies; their contracts are in
// file-calls-win32.h.
#define PLATFORM_RAW_PROFILE_API
#include "platform/file-calls-win32.h"

#include <sddl.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>

namespace checked_write {
namespace {

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

// Reads a number of at least one digit and at most MaxDigits in Base from Text, moving Text
// past it.
bool ReadNumber(const wchar_t*& Text, unsigned Base, int MaxDigits, DWORD& Number)
{
    uint64_t Value = 0;
    int Digits = 0;
    for (;; ++Text, ++Digits) {
        wchar_t Each = *Text;
        unsigned Digit = Each >= L'0' && Each <= L'9'                ? Each - L'0'
                         : Base == 16 && Each >= L'a' && Each <= L'f' ? Each - L'a' + 10
                                                                       : Base;
        if (Digit >= Base) break;
        Value = Value * Base + Digit;
    }
    if (Digits == 0 || Digits > MaxDigits || Value > 0xFFFFFFFFu) return false;
    Number = (DWORD)Value;
    return true;
}

// Whether Name is a staged copy's exact name, of today (".vk<id in hex>-<n>.tmp") or of earlier
// versions (".notes.ini.vorkap-<id>-<n>.tmp"); its process id, non-zero, in Id.
bool IsStagedCopyName(const wchar_t* Name, DWORD& Id)
{
    struct Naming {
        const wchar_t* Prefix;
        unsigned Base;
        int MaxDigits;
    };
    const Naming kNamings[] = {{L".vk", 16, 8}, {L".notes.ini.vorkap-", 10, 10}};
    for (const Naming& Each : kNamings) {
        size_t Length = wcslen(Each.Prefix);
        if (wcsncmp(Name, Each.Prefix, Length) != 0) continue;
        const wchar_t* Rest = Name + Length;
        DWORD Counter = 0;
        return ReadNumber(Rest, Each.Base, Each.MaxDigits, Id) && Id != 0 && *Rest++ == L'-' &&
               ReadNumber(Rest, 10, 10, Counter) && wcscmp(Rest, L".tmp") == 0;
    }
    return false;
}

}  // namespace

void RemoveStaleCopies(const std::wstring& Directory)
{
    WIN32_FIND_DATAW Found;
    HANDLE Search = FindFirstFileW((Directory + L".*.tmp").c_str(), &Found);
    if (Search == INVALID_HANDLE_VALUE) return;
    do {
        // The pattern matches short names too: the long name itself must be a copy's.
        DWORD Id = 0;
        if (IsStagedCopyName(Found.cFileName, Id) && !MayHaveWritten(Id, Found.ftLastWriteTime))
            Use.DeleteFile((Directory + Found.cFileName).c_str());
    } while (FindNextFileW(Search, &Found));
    FindClose(Search);
}

FileLock::FileLock(DWORD VolumeSerial, const std::wstring& PathOnVolume)
{
    // FNV-1a of the path, case-folded as names on the volume are compared, over the bytes of
    // its UTF-16 units (the high byte only where it is not zero, so that an ASCII path keeps the
    // name that earlier versions gave its lock).
    std::wstring Folded = PathOnVolume;
    if (!Folded.empty()) CharUpperBuffW(Folded.data(), (DWORD)Folded.size());
    uint32_t Hash = 2166136261u;
    for (wchar_t Unit : Folded) {
        Hash = (Hash ^ (Unit & 0xFF)) * 16777619u;
        if (Unit >> 8) Hash = (Hash ^ (Unit >> 8)) * 16777619u;
    }
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

FileLock::~FileLock()
{
    if (Held) ReleaseMutex(Mutex);
    if (Mutex) CloseHandle(Mutex);
}

}  // namespace checked_write
