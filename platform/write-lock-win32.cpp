// The write lock of a file and the removal of stale staged copies; their contracts are in
// file-calls-win32.h.
#define PLATFORM_RAW_PROFILE_API
#include "platform/file-calls-win32.h"

#include <sddl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

}  // namespace

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

FileLock::FileLock(DWORD VolumeSerial, const std::string& PathOnVolume)
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

FileLock::~FileLock()
{
    if (Held) ReleaseMutex(Mutex);
    if (Mutex) CloseHandle(Mutex);
}

}  // namespace checked_write
