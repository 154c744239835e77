// The checked profile write of the Windows program; its contract is in checked-write-win32.h.
#define PLATFORM_RAW_PROFILE_API
#include "platform/checked-write-win32.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/file-calls-win32.h"
#include "profile/profile.h"

namespace checked_write {
namespace {

// Path, in the ANSI code page, as a wide path; empty where it does not convert.
std::wstring Widened(const char* Path)
{
    int Length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, Path, -1, nullptr, 0);
    if (Length <= 1) return std::wstring();
    std::wstring Wide(Length, L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, Path, -1, Wide.data(), Length);
    Wide.resize(Length - 1);
    return Wide;
}

// The user's temporary folder, ending in '\'.
std::optional<std::wstring> TemporaryFolder()
{
    std::wstring Folder(MAX_PATH + 1, L'\0');
    DWORD Length = GetTempPathW((DWORD)Folder.size(), Folder.data());
    if (Length >= Folder.size()) {
        Folder.assign(Length + 1, L'\0');
        Length = GetTempPathW((DWORD)Folder.size(), Folder.data());
    }
    if (Length == 0 || Length >= Folder.size()) return std::nullopt;
    Folder.resize(Length);
    return Folder;
}

// One write of one file: owns the staged copy's fate, from its creation to its rename over the
// file or its removal.
class StagedWrite {
public:
    StagedWrite(const char* Section, const char* Key, const char* Value)
        : Section_(Section), Key_(Key), Value_(Value) {}
    StagedWrite(const StagedWrite&) = delete;
    StagedWrite& operator=(const StagedWrite&) = delete;
    ~StagedWrite()
    {
        if (!Staged_.empty()) Delete(Staged_);
    }

    // The whole write of the file at Path.
    bool Run(const char* Path, bool& LockWaitedOut)
    {
        std::wstring Given = Widened(Path);
        if (Given.empty()) return false;
        // A handle that reads no byte and blocks no one: the file's identity and final path. It
        // is closed before the wait for the lock, since any open handle makes the rename of the
        // run that holds the lock wait.
        Handle Probe(Open(Given, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING));
        BY_HANDLE_FILE_INFORMATION Identity;
        if (!Probe || !GetFileInformationByHandle(Probe.Value, &Identity)) return false;
        std::optional<std::wstring> Final = FinalPath(Probe.Value, Given, VOLUME_NAME_DOS);
        std::optional<std::wstring> OnVolume = FinalPath(Probe.Value, Given, VOLUME_NAME_NONE);
        Probe.Close();
        // Without the one spelling that names the lock, two runs could edit the file at once.
        if (!OnVolume) return false;
        FileLock Locked(Identity.dwVolumeSerialNumber, *OnVolume);
        LockWaitedOut = !Locked.Held;
        if (!Locked.Held) return false;
        // Where the path cannot be followed to its file, a rename could replace a link: the file
        // is then written in place, through the path given, which the open follows.
        Target_ = Final ? *Final : Given;
        bool MayRename = Final.has_value();
        {
            Handle Original(Open(Target_, GENERIC_READ, kShareReadWrite, OPEN_EXISTING));
            if (!Original || !ReadAll(Original.Value, Kept_) || profile::IsUtf16(Kept_))
                return false;
        }
        profile::EditPlan Plan;
        switch (profile::PlanEdit(Kept_, Section_, Key_, Value_, GetACP(), Plan)) {
        case profile::EditResult::Unchanged: return true;  // read-only or not, nothing written
        case profile::EditResult::Refused: return false;
        case profile::EditResult::Changed: break;
        }
        // A read-only file, or one this user may not write (the folder may take a copy all the
        // same), is refused.
        DWORD Attributes = GetFileAttributesW(Target_.c_str());
        if (Attributes == INVALID_FILE_ATTRIBUTES ||
            (Attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
            return false;
        if (!Handle(Open(Target_, GENERIC_READ | GENERIC_WRITE, kShareReadWrite, OPEN_EXISTING)))
            return false;
        std::string After;
        if (!Stage() || !WrittenAndChecked(After)) {
            // No copy anywhere, or the platform's write of the copy failed or did not read as
            // asked (a disk with room for the copy but not for its growth cuts it, where the
            // platform's own write of the file, which empties it first, has room): the copy
            // goes, and the engine's own edit is written in place. A full disk stops that before
            // any old byte changes; the real write is never run on the file itself.
            if (!Staged_.empty() && Delete(Staged_)) Staged_.clear();
            return profile::Edit(Kept_, Section_, Key_, Value_, GetACP(), After) ==
                       profile::EditResult::Changed &&
                   WriteInPlace(After);
        }
        if (After == Kept_) return true;  // nothing to change: the file is not written
        if (MayRename && Beside_ && Rename(Attributes)) return true;
        return WriteInPlace(After);
    }

private:
    // The platform's own write of the staged copy (which holds the kept bytes), tried again
    // while another program holds the copy, then the copy read back into After: true when it
    // reads as the engine's edit of the kept bytes. A write that the platform only cached reads
    // back as the old content, and one that the disk cut reads back short: both fail the check.
    bool WrittenAndChecked(std::string& After)
    {
        return Retried([&] {
                   return Use.WriteProfileString(Section_, Key_, Value_, StagedAnsi_.c_str());
               }) &&
               ReadAll(Staged_, After) &&
               profile::ReadsAsWritten(Kept_, After, Section_, Key_, Value_, GetACP());
    }

    // Makes the staged copy of the kept bytes: beside the target, else in the temporary folder.
    // Killed runs' copies go from both first.
    bool Stage()
    {
        std::wstring Directory = Target_.substr(0, Target_.find_last_of(L"\\/") + 1);
        std::optional<std::wstring> Temporary = TemporaryFolder();
        RemoveStaleCopies(Directory);
        if (Temporary) RemoveStaleCopies(*Temporary);
        if (StageIn(Directory)) return Beside_ = true;
        return Temporary && StageIn(*Temporary);
    }

    // A copy in Directory, where its path is one that the platform's ANSI write reaches.
    bool StageIn(const std::wstring& Directory)
    {
        static unsigned Counter = 0;
        char Name[32];
        snprintf(Name, sizeof Name, ".vk%lx-%u.tmp", (unsigned long)GetCurrentProcessId(),
                 ++Counter);
        std::wstring Path = Directory + std::wstring(Name, Name + strlen(Name));
        std::optional<std::string> Ansi = AnsiPath(Path);
        if (!Ansi) return false;
        StagedAnsi_ = *Ansi;
        // Named before it is made: from then on the copy's fate is this object's.
        Staged_ = Path;
        Handle Copy(Use.CreateFile(Staged_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!Copy) {
            Staged_.clear();
            return false;
        }
        if (WriteAt(Copy.Value, 0, Kept_)) return true;
        Copy.Close();
        Delete(Staged_);
        Staged_.clear();
        return false;
    }

    // Flushes the staged copy, gives it the target's attributes and then its access rules, and
    // renames it over the target. False, with the target as it was and the copy removed, where
    // any of it fails.
    bool Rename(DWORD Attributes)
    {
        // Opened before the copy gets the target's rules: whatever they deny this user, the copy
        // can still be removed through it.
        Handle Remover(Open(Staged_, DELETE, kShareAll, OPEN_EXISTING));
        if (!Remover) return false;
        if (Commit(Attributes)) {
            Staged_.clear();
            return true;
        }
        // Removed through the handle, when it still stands for the copy (a rename that reported
        // failure after it was made must not take the target with it); else by its name.
        std::optional<std::wstring> Now = FinalPath(Remover.Value);
        FILE_DISPOSITION_INFO Disposal{TRUE};
        if (Now && CompareStringOrdinal(Now->c_str(), -1, Staged_.c_str(), -1, TRUE) ==
                       CSTR_EQUAL &&
            Use.SetFileInformationByHandle(Remover.Value, FileDispositionInfo, &Disposal,
                                           sizeof Disposal)) {
            Remover.Close();
            Staged_.clear();
        }
        return false;
    }

    bool Commit(DWORD Attributes)
    {
        DWORD Carried = Attributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
        Handle Copy(Open(Staged_, GENERIC_WRITE, kShareAll, OPEN_EXISTING));
        bool Flushed = Copy && Use.FlushFileBuffers(Copy.Value);
        Copy.Close();
        if (!Flushed ||
            !Use.SetFileAttributes(Staged_.c_str(), Carried ? Carried : FILE_ATTRIBUTE_NORMAL) ||
            !CarryAccessRules(Target_, Staged_))
            return false;
        // One rename, which a reader sees whole; the write-through flushes the folder's entry.
        return Retried(
            [&] {
                return Use.MoveFileEx(Staged_.c_str(), Target_.c_str(),
                                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
            },
            true);
    }

    // Writes After into the target itself by the padded rewrite, sharing it as the platform's
    // own write does, when the target still holds the kept bytes.
    bool WriteInPlace(const std::string& After)
    {
        Handle File(Open(Target_, GENERIC_READ | GENERIC_WRITE, kShareReadWrite, OPEN_EXISTING));
        std::string Now;
        if (!File || !ReadAll(File.Value, Now)) return false;
        if (Now == After) return true;
        if (Now != Kept_) return false;  // another program changed it meanwhile: left as it is
        Now.clear();
        Now.shrink_to_fit();
        return RewriteInPlace(File.Value, profile::PlanInPlace(Kept_, After));
    }

    const char* Section_;
    const char* Key_;
    const char* Value_;
    std::wstring Target_;     // the file written: the final path of the one asked for
    std::string Kept_;        // its bytes before the write
    std::wstring Staged_;     // the staged copy, while there is one
    std::string StagedAnsi_;  // its path for the platform's ANSI write
    bool Beside_ = false;     // the copy stands beside the target, where a rename can move it
};

}  // namespace

BOOL Write(const char* Path, const char* Section, const char* Key, const char* Value,
           bool& LockWaitedOut)
{
    LockWaitedOut = false;
    if (!Section || !Key || strpbrk(Section, "\r\n") || strpbrk(Key, "\r\n") ||
        (Value && strpbrk(Value, "\r\n")))
        return FALSE;
    try {
        StagedWrite Staged(Section, Key, Value);
        return Staged.Run(Path, LockWaitedOut);
    } catch (const std::exception&) {  // out of memory: the staged copy goes, the file stays
        return FALSE;
    }
}

}  // namespace checked_write
