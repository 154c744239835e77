// Each Windows call of the checked write failing in turn, with each error that matters, against
// the real profile API underneath (under Wine in the tests).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "platform/checked-write-win32.h"
#include "platform/platform.h"
#include "profile/profile.h"
#include "tests/support/bytes.h"
#include "tests/support/case-name.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

const char kEntry[] = "Export HTML Files,1,_Vorkap,,.Htm,,1,";

// Each Windows call of the checked write fails in turn, once or from then on, with each error
// that another program or the disk can cause. Before every call notes.ini must exist and read as
// its old or its new content (bytes of one of them, blanks after); after the write, TRUE must
// leave the new bytes and FALSE the old ones. So does each allocation failing in turn: out of
// memory, as the 32-bit program meets it. During a write, allocation number FailAllocation
// fails (negative: none); AllocationCount counts them.
int FailAllocation = -1, AllocationsLeft = -1;
int AllocationCount = 0, WriteAllocations = 0;

}  // namespace

void* operator new(size_t Size)
{
    ++AllocationCount;
    if (AllocationsLeft >= 0 && AllocationsLeft-- == 0) throw std::bad_alloc();
    if (void* Block = HeapAlloc(GetProcessHeap(), 0, Size ? Size : 1)) return Block;
    throw std::bad_alloc();
}
void operator delete(void* Block) noexcept
{
    if (Block) HeapFree(GetProcessHeap(), 0, Block);
}
void operator delete(void* Block, size_t) noexcept { operator delete(Block); }

namespace {

checked_write::Calls Real = checked_write::Use;
int CallCount = 0, FailAt = 0;
DWORD FailError = 0;
bool FailFromThenOn = false;
bool Watching = false;  // notes.ini is checked before each call
fs::path Watched;
std::string OldBytes, NewBytes;
std::vector<std::string> Broken;  // what a call found notes.ini to be, when neither

bool ReadsAsEither(const std::string& Now)
{
    auto Padded = [&](const std::string& Content) {
        return Now.compare(0, Content.size(), Content) == 0 &&
               Now.find_first_not_of(' ', Content.size()) == std::string::npos;
    };
    return Padded(OldBytes) || (!NewBytes.empty() && Padded(NewBytes));
}

const char* Failed = "";  // the name of the last call made to fail

bool Fails(const char* Name)
{
    ++CallCount;
    struct Uncounted {  // the watch's own allocations are not the write's
        int Left = AllocationsLeft, Count = AllocationCount;
        Uncounted() { AllocationsLeft = -1; }
        ~Uncounted() { AllocationsLeft = Left, AllocationCount = Count; }
    } Watch;
    std::error_code Error;
    if (!Watching) {
    } else if (!fs::exists(Watched, Error)) {
        Broken.push_back("missing before call " + std::to_string(CallCount));
    } else if (!ReadsAsEither(ReadBytes(Watched))) {
        Broken.push_back("neither old nor new before call " + std::to_string(CallCount));
    }
    bool Fail = FailAt && (CallCount == FailAt || (FailFromThenOn && CallCount > FailAt));
    if (Fail) SetLastError(FailError), Failed = Name;
    return Fail;
}

#define FAULTY(Name, Result, Failure, Parameters, Arguments)          \
    Result WINAPI Faulty##Name Parameters                             \
    {                                                                 \
        return Fails(#Name) ? Failure : Real.Name Arguments;          \
    }
FAULTY(CreateFile, HANDLE, INVALID_HANDLE_VALUE,
       (LPCWSTR A, DWORD B, DWORD C, LPSECURITY_ATTRIBUTES D, DWORD E, DWORD F, HANDLE G),
       (A, B, C, D, E, F, G))
FAULTY(ReadFile, BOOL, FALSE, (HANDLE A, LPVOID B, DWORD C, LPDWORD D, LPOVERLAPPED E),
       (A, B, C, D, E))
FAULTY(WriteFile, BOOL, FALSE, (HANDLE A, LPCVOID B, DWORD C, LPDWORD D, LPOVERLAPPED E),
       (A, B, C, D, E))
FAULTY(SetEndOfFile, BOOL, FALSE, (HANDLE A), (A))
FAULTY(FlushFileBuffers, BOOL, FALSE, (HANDLE A), (A))
FAULTY(SetFileAttributes, BOOL, FALSE, (LPCWSTR A, DWORD B), (A, B))
FAULTY(SetFileSecurity, BOOL, FALSE, (LPCWSTR A, SECURITY_INFORMATION B, PSECURITY_DESCRIPTOR C),
       (A, B, C))
FAULTY(MoveFileEx, BOOL, FALSE, (LPCWSTR A, LPCWSTR B, DWORD C), (A, B, C))
FAULTY(DeleteFile, BOOL, FALSE, (LPCWSTR A), (A))
FAULTY(SetFileInformationByHandle, BOOL, FALSE,
       (HANDLE A, FILE_INFO_BY_HANDLE_CLASS B, LPVOID C, DWORD D), (A, B, C, D))
#undef FAULTY
void WINAPI NoPause(DWORD) {}

// The platform's write of the staged copy, which a full disk cuts by CutBy bytes while it
// reports success, as Wine's does (it empties the file, writes it whole and ignores the write's
// errors).
size_t CutBy = 0;
BOOL WINAPI FaultyWriteProfileString(LPCSTR Section, LPCSTR Key, LPCSTR Value, LPCSTR File)
{
    if (Fails("WriteProfileString")) return FALSE;
    if (!Real.WriteProfileString(Section, Key, Value, File)) return FALSE;
    if (CutBy) {
        std::string Written = ReadBytes(File);
        WriteBytes(File, Written.substr(0, Written.size() - CutBy));
    }
    return TRUE;
}


const char kOld[] =
    "[Notes]\r\nVIEWEXP5=Other Format,1,_Other,,.Txt,,1,\r\n[Vorkap]\r\nOutputXML=1\r\n";
// Files whose end a first-section check never sees: a repeated section, comment lines.
const char kRepeatedSection[] =
    "[Notes]\r\nVIEWEXP5=Other Format,1,_Other,,.Txt,,1,\r\n[Vorkap]\r\nOutputXML=1\r\n"
    "[Notes]\r\nKeepLast=1\r\nKeepAlso=2\r\n";
const char kComments[] =
    "[Notes]\r\nVIEWEXP5=Other Format,1,_Other,,.Txt,,1,\r\n[Vorkap]\r\nOutputXML=1\r\n"
    "; kept comment one\r\n; kept comment two\r\n";

struct FaultCase {
    const char* Name;
    bool LongPath;       // the staged copy's name does not fit beside: temporary folder, in place
    bool HeldShared;     // another handle shares reading and writing: no rename, in place
    const char* Value;   // null deletes
    const char* File = kOld;   // notes.ini before
    bool NoTemporary = false;  // the temporary folder is missing: with LongPath, no copy anywhere
    size_t CutBy = 0;    // the platform's write of the copy is cut by a full disk
};

const FaultCase kFaultCases[] = {
    {"Renamed", false, false, kEntry},
    {"RenamedDelete", false, false, nullptr},
    {"InPlaceBesideAHolder", false, true, kEntry},
    {"InPlaceBesideAHolderDelete", false, true, nullptr},
    {"InPlaceFromTheTemporaryFolder", true, false, kEntry},
    // No copy can be staged anywhere: the engine's own edit, written in place (a full disk stops
    // it at the growth, before any old byte changes).
    {"EngineEditInPlace", true, false, kEntry, kRepeatedSection, true},
    {"EngineEditInPlaceDelete", true, false, nullptr, kComments, true},
    // Room for the copy, not for the platform's write of it: its cut is caught, whatever the
    // file ends in, and the engine's own edit is written in place instead.
    {"CopyCutBesideRepeatedSection", false, false, kEntry, kRepeatedSection, false, 6},
    {"CopyCutBesideComments", false, false, kEntry, kComments, false, 6},
    {"CopyCutInTemporaryFolderRepeatedSection", true, false, kEntry, kRepeatedSection, false, 6},
    {"CopyCutInTemporaryFolderComments", true, false, kEntry, kComments, false, 6},
};

using case_name::operator<<;

class FailingCallTest : public ::testing::TestWithParam<FaultCase> {
protected:
    static void SetUpTestSuite() { PlatformStartup(); }
    void TearDown() override
    {
        checked_write::Use = Real;
        FailAt = 0;
    }
};

// The write of Case on a fresh notes.ini in Directory, with the calls counted and checked.
BOOL WriteCase(const FaultCase& Case, const fs::path& Directory, std::vector<std::string>& Left)
{
    fs::remove_all(Directory);
    fs::create_directories(Directory);
    WriteBytes(Watched, OldBytes);
    HANDLE Holder = INVALID_HANDLE_VALUE;
    if (Case.HeldShared)
        Holder = CreateFileA(Watched.string().c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    CallCount = 0;
    Failed = "";
    Broken.clear();
    CutBy = Case.CutBy;
    // A temporary folder that is not there refuses the copy as a full disk would.
    std::wstring Missing = (Directory / "missing\\").wstring();
    wchar_t Temporary[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"TMP", Temporary, MAX_PATH);
    if (Case.NoTemporary) SetEnvironmentVariableW(L"TMP", Missing.c_str());
    bool LockWaitedOut = false;
    std::string Path = Watched.string();
    AllocationCount = 0;
    AllocationsLeft = FailAllocation;
    BOOL Result = checked_write::Write(Path.c_str(), "Vorkap", "OutputXML", Case.Value,
                                       LockWaitedOut);
    AllocationsLeft = -1;
    WriteAllocations = AllocationCount;
    SetEnvironmentVariableW(L"TMP", Temporary[0] ? Temporary : nullptr);
    CutBy = 0;
    if (Holder != INVALID_HANDLE_VALUE) CloseHandle(Holder);
    Left = Leftovers(Directory);
    return Result;
}

TEST_P(FailingCallTest, NotesIniIsNeverMissingNorCut)
{
    const FaultCase& Case = GetParam();
    fs::path Directory = fs::temp_directory_path() / "vorkap-faults" / Case.Name;
    if (Case.LongPath) {
        // A path of 258 characters: the staged copy's name would pass the path limit beside it.
        size_t Room = 258 - Directory.string().size() - strlen("\\notes.ini");
        Directory /= std::string(Room - 1, 'd');
    }
    Watched = Directory / "notes.ini";
    OldBytes = Case.File;
    NewBytes.clear();
    checked_write::Use = {FaultyCreateFile,       FaultyReadFile,
                          FaultyWriteFile,        FaultySetEndOfFile,
                          FaultyFlushFileBuffers, FaultySetFileAttributes,
                          FaultySetFileSecurity,  FaultyMoveFileEx,
                          FaultyDeleteFile,       FaultySetFileInformationByHandle,
                          FaultyWriteProfileString, NoPause};
    std::vector<std::string> Left;
    if (Case.CutBy) {
        Watching = true;
        std::string Edited;
        ASSERT_EQ(profile::Edit(OldBytes, "Vorkap", "OutputXML", Case.Value, GetACP(), Edited),
                  profile::EditResult::Changed);
        NewBytes = Edited;
        EXPECT_TRUE(WriteCase(Case, Directory, Left));
        EXPECT_EQ(ReadBytes(Watched), Edited) << "a cut copy passed the check";
        EXPECT_TRUE(Broken.empty()) << Broken.front();
        EXPECT_TRUE(Left.empty()) << Left.front();
        fs::remove_all(fs::temp_directory_path() / "vorkap-faults");
        return;
    }
    // A first write, unwatched, gives the new content and the count of calls.
    Watching = false;
    ASSERT_TRUE(WriteCase(Case, Directory, Left));
    NewBytes = ReadBytes(Watched);
    ASSERT_NE(NewBytes, OldBytes);
    int Calls = CallCount, Allocations = WriteAllocations;
    Watching = true;
    // Each allocation of the write fails in turn: FALSE, with the file's bytes as they were.
    for (int Failing = 0; Failing < Allocations; Failing++) {
        FailAllocation = Failing;
        BOOL Result = WriteCase(Case, Directory, Left);
        FailAllocation = -1;
        EXPECT_EQ(ReadBytes(Watched), Result ? NewBytes : OldBytes) << "allocation " << Failing;
        EXPECT_TRUE(Broken.empty()) << "allocation " << Failing << ": " << Broken.front();
        EXPECT_TRUE(Left.empty()) << "allocation " << Failing << ": " << Left.front();
    }
    const DWORD Errors[] = {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_DISK_FULL};
    for (FailAt = 0; FailAt <= Calls; FailAt++) {
        for (DWORD Error : Errors) {
            for (bool FromThenOn : {false, true}) {
                FailError = Error;
                FailFromThenOn = FromThenOn;
                BOOL Result = WriteCase(Case, Directory, Left);
                std::string Where = "call " + std::to_string(FailAt) + " (" + Failed +
                                    ") failing with " +
                                    std::to_string(Error) + (FromThenOn ? " from then on" : "");
                EXPECT_TRUE(Broken.empty()) << Where << ": " << Broken.front();
                // When every call fails from then on, the last step back may fail too.
                if (Result || !FromThenOn) {
                    EXPECT_EQ(ReadBytes(Watched), Result ? NewBytes : OldBytes) << Where;
                } else {
                    EXPECT_TRUE(ReadsAsEither(ReadBytes(Watched))) << Where;
                }
                // A staged copy stays only where its removal itself failed.
                EXPECT_TRUE(Left.empty() || FromThenOn || Failed == "DeleteFile"s)
                    << Where << ": " << Left.front();
            }
        }
    }
    fs::remove_all(fs::temp_directory_path() / "vorkap-faults");
}

INSTANTIATE_TEST_SUITE_P(Cases, FailingCallTest, ::testing::ValuesIn(kFaultCases), CaseName());

}  // namespace
