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
    bool Run(const std::string& Path, bool& LockWaitedOut)
    {
        // A handle that reads no byte and blocks no one: the file's identity and final path. It
        // is closed before the wait for the lock, since any open handle makes the rename of the
        // run that holds the lock wait.
        Handle Probe(Open(Path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING));
        BY_HANDLE_FILE_INFORMATION Identity;
        if (!Probe || !GetFileInformationByHandle(Probe.Value, &Identity)) return false;
        std::optional<std::string> Final = FinalPath(Probe.Value);
        std::optional<std::string> OnVolume = FinalPath(Probe.Value, VOLUME_NAME_NONE);
        Probe.Close();
        FileLock Locked(Identity.dwVolumeSerialNumber, OnVolume ? *OnVolume : Path);
        LockWaitedOut = !Locked.Held;
        if (!Locked.Held) return false;
        Target_ = Final ? *Final : Path;
        DWORD Attributes = GetFileAttributesA(Target_.c_str());
        // Where a link cannot be followed to its file, the rename would replace the link itself.
        bool MayRename = Final || !(Attributes & FILE_ATTRIBUTE_REPARSE_POINT);
        // A read-only file, or one this user may not write (the folder may take a copy all the
        // same), is refused.
        if (Attributes == INVALID_FILE_ATTRIBUTES ||
            (Attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
            return false;
        {
            Handle Original(
                Open(Target_, GENERIC_READ | GENERIC_WRITE, kShareReadWrite, OPEN_EXISTING));
            if (!Original || !ReadAll(Original.Value, Kept_) || profile::IsUtf16(Kept_))
                return false;
        }
        if (!Stage()) return WriteFileItself();
        std::string After;
        if (!WrittenAndChecked(Staged_, After)) return false;
        if (After == Kept_) return true;  // nothing to change: the file is not written
        if (MayRename && Beside_ && Rename(Attributes)) return true;
        return WriteInPlace(After);
    }

private:
    // The platform's own write of File (which holds the kept bytes), then File read back into
    // After: true when it reads as the kept bytes with the change. A write that the platform only
    // cached reads back as the old content and fails the check.
    bool WrittenAndChecked(const std::string& File, std::string& After)
    {
        return Use.WriteProfileString(Section_, Key_, Value_, File.c_str()) &&
               ReadAll(File, After) &&
               profile::ReadsAsWritten(Kept_, After, Section_, Key_, Value_, GetACP());
    }

    // Makes the staged copy of the kept bytes: beside the target, else in the temporary folder.
    bool Stage()
    {
        size_t NameStart = Target_.find_last_of("\\/") + 1;
        std::string Directory = Target_.substr(0, NameStart);
        RemoveStaleCopies(Directory);
        if (StageIn(Directory)) return Beside_ = true;
        char Temporary[MAX_PATH];
        DWORD Length = GetTempPathA(sizeof Temporary, Temporary);
        if (Length == 0 || Length >= sizeof Temporary) return false;
        RemoveStaleCopies(Temporary);
        return StageIn(Temporary);
    }

    bool StageIn(const std::string& Directory)
    {
        static unsigned Counter = 0;
        char Name[32];
        snprintf(Name, sizeof Name, ".vk%lx-%u.tmp", (unsigned long)GetCurrentProcessId(),
                 ++Counter);
        // Named before it is made: from then on the copy's fate is this object's.
        Staged_ = Directory + Name;
        Handle Copy(Staged_.size() < MAX_PATH
                        ? Use.CreateFile(Staged_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL, nullptr)
                        : INVALID_HANDLE_VALUE);
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

    // Carries the target's attributes and access rules onto the staged copy, flushes it and
    // renames it over the target. False, with the target as it was, where any of it fails.
    bool Rename(DWORD Attributes)
    {
        DWORD Carried = Attributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
        Handle Copy(Open(Staged_, GENERIC_WRITE, kShareAll, OPEN_EXISTING));
        bool Ready = Copy && Use.FlushFileBuffers(Copy.Value);
        Copy.Close();
        if (!Ready || !CarryAccessRules(Target_, Staged_) ||
            !Use.SetFileAttributes(Staged_.c_str(), Carried ? Carried : FILE_ATTRIBUTE_NORMAL))
            return false;
        // One rename, which a reader sees whole; the write-through flushes the folder's entry.
        auto Move = [&] {
            return Use.MoveFileEx(Staged_.c_str(), Target_.c_str(),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        };
        if (!Retried(Move, true))
            return false;
        Staged_.clear();
        return true;
    }

    // Writes After into the target itself, sharing it as the platform's own write does, when the
    // target still holds the kept bytes. Between any two calls the target reads as the kept bytes
    // or as After, since blanks at a line's end and lines of blanks read as nothing: it grows
    // with blanks first (a full disk stops the write there, before any old byte has changed),
    // then After and blanks up to that size are written in one call, then the blanks are cut.
    bool WriteInPlace(const std::string& After)
    {
        size_t Larger = After.size() > Kept_.size() ? After.size() : Kept_.size();
        std::string Forward = After, Back = Kept_, Now;
        Forward.resize(Larger, ' ');
        Back.resize(Larger, ' ');
        Handle File(Open(Target_, GENERIC_READ | GENERIC_WRITE, kShareReadWrite, OPEN_EXISTING));
        if (!File || !ReadAll(File.Value, Now)) return false;
        if (Now == After) return true;
        if (Now != Kept_) return false;  // another program changed it meanwhile: left as it is
        Now.clear();
        Now.shrink_to_fit();
        if (!WriteAt(File.Value, Kept_.size(), std::string_view(Back).substr(Kept_.size()))) {
            EndAt(File.Value, Kept_.size());
            return false;
        }
        if (Overwrite(File.Value, Forward, After.size())) return true;
        Overwrite(File.Value, Back, Kept_.size());
        return false;
    }

    // No staged copy could be made anywhere: the real write on the target itself, checked, with
    // the kept bytes put back when the check fails.
    bool WriteFileItself()
    {
        std::string After;
        if (WrittenAndChecked(Target_, After)) {
            Handle File(Open(Target_, GENERIC_WRITE, kShareReadWrite, OPEN_EXISTING));
            return File && Use.FlushFileBuffers(File.Value);
        }
        Handle File(Open(Target_, GENERIC_WRITE, kShareReadWrite, OPEN_EXISTING));
        if (File) Overwrite(File.Value, Kept_, Kept_.size());
        return false;
    }

    const char* Section_;
    const char* Key_;
    const char* Value_;
    std::string Target_;  // the file written: the final path of the one asked for
    std::string Kept_;    // its bytes before the write
    std::string Staged_;  // the staged copy, while there is one
    bool Beside_ = false;  // the copy stands beside the target, where a rename can move it
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
