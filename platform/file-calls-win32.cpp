// The file operations of the checked write; their contracts are in file-calls-win32.h.
#define PLATFORM_RAW_PROFILE_API
#include "platform/file-calls-win32.h"

#include <cstring>
#include <vector>

#include "profile/profile.h"

namespace checked_write {

Calls Use = {CreateFileW,      ReadFile,           WriteFile,        SetEndOfFile,
             FlushFileBuffers, SetFileAttributesW, SetFileSecurityW, MoveFileExW,
             DeleteFileW,      SetFileInformationByHandle,           WritePrivateProfileStringA,
             Sleep};

bool Delete(const std::wstring& Path)
{
    return Retried([&] { return Use.DeleteFile(Path.c_str()); }, true);
}

HANDLE Open(const std::wstring& Path, DWORD Access, DWORD Sharing, DWORD Disposition)
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
    if (!GetFileSizeEx(File, &Size) || Size.QuadPart > 0x7FFFFFFF) return false;
    Content.assign((size_t)Size.QuadPart, '\0');
    DWORD Got = 0;
    // A range that another program has locked fails with a lock violation: waited out.
    return Content.empty() || Retried([&] {
               return SetFilePointerEx(File, Start, nullptr, FILE_BEGIN) &&
                      Use.ReadFile(File, Content.data(), (DWORD)Content.size(), &Got, nullptr) &&
                      Got == Content.size();
           });
}

bool ReadAll(const std::wstring& Path, std::string& Content)
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

bool RewriteInPlace(HANDLE File, const profile::InPlacePlan& Plan)
{
    // 1. Grow: the blanks of Back past the old end. A full disk stops the write here.
    if (!WriteAt(File, Plan.OldSize, std::string_view(Plan.Back).substr(Plan.OldSize))) {
        EndAt(File, Plan.OldSize);
        return false;
    }
    // 2. The new content, padded, in one write; 3. the cut and the flush.
    if (WriteAt(File, 0, Plan.Forward) && EndAt(File, Plan.NewSize) &&
        Use.FlushFileBuffers(File))
        return true;
    // Back: the old content, padded, then cut to its size.
    if (WriteAt(File, 0, Plan.Back) && EndAt(File, Plan.OldSize)) Use.FlushFileBuffers(File);
    return false;
}

std::optional<std::wstring> FinalPath(HANDLE File, DWORD Volume)
{
    std::wstring Final(MAX_PATH + 8, L'\0');
    for (;;) {
        DWORD Length = GetFinalPathNameByHandleW(File, Final.data(), (DWORD)Final.size(),
                                                 FILE_NAME_NORMALIZED | Volume);
        if (Length == 0) return std::nullopt;
        if (Length < Final.size()) {
            Final.resize(Length);
            return Final;
        }
        if (Length > 0x8000) return std::nullopt;
        Final.assign(Length + 1, L'\0');  // the size it needs, its terminating zero included
    }
}

std::optional<std::wstring> FinalPath(HANDLE File, const std::wstring& Given, DWORD Volume)
{
    if (std::optional<std::wstring> Final = FinalPath(File, Volume)) return Final;
    std::vector<char> Buffer(sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(wchar_t));
    while (!GetFileInformationByHandleEx(File, FileNameInfo, Buffer.data(), (DWORD)Buffer.size())) {
        if (GetLastError() != ERROR_MORE_DATA || Buffer.size() > 0x20000) return std::nullopt;
        Buffer.resize(Buffer.size() * 2);
    }
    const FILE_NAME_INFO* Info = reinterpret_cast<const FILE_NAME_INFO*>(Buffer.data());
    std::wstring Name(Info->FileName, Info->FileNameLength / sizeof(wchar_t));
    if (Volume == VOLUME_NAME_NONE || Name.empty() || Name[0] != L'\\') return Name;
    wchar_t Root[MAX_PATH];
    if (!GetVolumePathNameW(Given.c_str(), Root, MAX_PATH)) return std::nullopt;
    std::wstring Candidate = Root;
    if (!Candidate.empty() && Candidate.back() == L'\\') Candidate.pop_back();
    Candidate = (Candidate.rfind(L"\\\\", 0) == 0 ? L"\\\\?\\UNC" + Candidate.substr(1)
                                                  : L"\\\\?\\" + Candidate) +
                Name;
    // The name is on the file's volume; the root, that of the path given: the two must meet at
    // this very file.
    Handle Found(Open(Candidate, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING));
    BY_HANDLE_FILE_INFORMATION Was, Is;
    if (!Found || !GetFileInformationByHandle(File, &Was) ||
        !GetFileInformationByHandle(Found.Value, &Is) ||
        Was.dwVolumeSerialNumber != Is.dwVolumeSerialNumber ||
        Was.nFileIndexHigh != Is.nFileIndexHigh || Was.nFileIndexLow != Is.nFileIndexLow)
        return std::nullopt;
    return Candidate;
}

std::wstring WithoutPrefix(const std::wstring& Path)
{
    if (Path.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\\\" + Path.substr(8);
    if (Path.rfind(L"\\\\?\\", 0) == 0) return Path.substr(4);
    return Path;
}

std::optional<std::string> AnsiPath(const std::wstring& Path)
{
    std::wstring Plain = WithoutPrefix(Path);
    if (Plain.empty() || Plain.size() >= MAX_PATH) return std::nullopt;
    // Code page UTF-8 has no best fit and takes no used-default flag: the round trip alone tells.
    UINT CodePage = GetACP();
    DWORD Flags = CodePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL UsedDefault = FALSE;
    char Ansi[MAX_PATH * 4];
    int Length = WideCharToMultiByte(CodePage, Flags, Plain.data(), (int)Plain.size(), Ansi,
                                     sizeof Ansi, nullptr,
                                     CodePage == CP_UTF8 ? nullptr : &UsedDefault);
    if (Length <= 0 || UsedDefault || Length >= MAX_PATH) return std::nullopt;
    wchar_t Back[MAX_PATH];
    int BackLength = MultiByteToWideChar(CodePage, MB_ERR_INVALID_CHARS, Ansi, Length, Back,
                                         MAX_PATH);
    if (BackLength != (int)Plain.size() || Plain.compare(0, Plain.size(), Back, BackLength) != 0)
        return std::nullopt;
    return std::string(Ansi, Length);
}

bool CarryAccessRules(const std::wstring& From, const std::wstring& To)
{
    const SECURITY_INFORMATION kRules = DACL_SECURITY_INFORMATION;
    auto Get = [](const std::wstring& Path, std::vector<char>& Into) {
        DWORD Needed = 0;
        Into.resize(1024);
        if (GetFileSecurityW(Path.c_str(), OWNER_SECURITY_INFORMATION | kRules, Into.data(),
                             (DWORD)Into.size(), &Needed))
            return true;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
        Into.resize(Needed);
        return GetFileSecurityW(Path.c_str(), OWNER_SECURITY_INFORMATION | kRules, Into.data(),
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
