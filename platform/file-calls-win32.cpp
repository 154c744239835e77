// The file operations of the checked write; their contracts are in file-calls-win32.h.
#define PLATFORM_RAW_PROFILE_API
#include "platform/file-calls-win32.h"

#include <cstring>
#include <vector>

namespace checked_write {

Calls Use = {CreateFileA,      ReadFile,           WriteFile,        SetEndOfFile,
             FlushFileBuffers, SetFileAttributesA, SetFileSecurityA, MoveFileExA,
             DeleteFileA,      WritePrivateProfileStringA,           Sleep};

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

bool Overwrite(HANDLE File, std::string_view Padded, size_t Length)
{
    return WriteAt(File, 0, Padded) && EndAt(File, Length) && Use.FlushFileBuffers(File);
}

std::optional<std::string> FinalPath(HANDLE File, DWORD Volume)
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

bool CarryAccessRules(const std::string& From, const std::string& To)
{
    const SECURITY_INFORMATION kRules = DACL_SECURITY_INFORMATION;
    auto Get = [](const std::string& Path, std::vector<char>& Into) {
        DWORD Needed = 0;
        Into.resize(1024);
        if (GetFileSecurityA(Path.c_str(), OWNER_SECURITY_INFORMATION | kRules, Into.data(),
                             (DWORD)Into.size(), &Needed))
            return true;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
        Into.resize(Needed);
        return GetFileSecurityA(Path.c_str(), OWNER_SECURITY_INFORMATION | kRules, Into.data(),
                                (DWORD)Into.size(), &Needed) != FALSE;
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
    if (!Get(From, Rules) || !Get(To, CopyRules) || !SameOwner(Rules, CopyRules))
        return false;
    if (SameRules(Rules, CopyRules)) return true;
    return Use.SetFileSecurity(To.c_str(), kRules, Rules.data()) &&
           Get(To, CopyRules) && SameRules(Rules, CopyRules);
}

}  // namespace checked_write
