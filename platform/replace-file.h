// Replacing a file on POSIX so that a crash, a full disk or a size limit never leaves it damaged.
//
// How a change is made (profile-file-posix.cpp does it in this order):
//   1. OpenRegular opens the file without blocking: a FIFO or a device is refused, never read.
//      A change opens it for reading and writing, since NFS grants an exclusive lock only on a
//      descriptor open for writing; a file the user may not write is opened for reading only,
//      under a shared lock, and any change of it is refused.
//   2. Lock takes the file's advisory lock (flock), exclusive for a change, waiting at most ten
//      seconds. Every run that changes the file takes it, so two runs never lose each other's
//      edits; a program that writes without it is not held back.
//   3. Under the lock the caller checks that the path still names the locked file (another run
//      may have replaced it meanwhile; then it starts over), and reads it with ReadAll.
//   4. Replace writes the new content to a temporary file ".<name>.vorkap-<pid>-<n>.tmp" beside
//      it, gives it the file's owner and group, then its mode, then exactly the file's extended
//      attributes (its access list among them), flushes it to disk, renames it over the file and
//      flushes the directory. Until the rename a reader sees the old file, after it the new one:
//      never a mix, whenever the process is killed.
//   5. When the temporary file cannot have the file's owner and group or one of its extended
//      attributes (the process may not give them), or the directory refuses the temporary file or
//      the rename (a read-only or sticky directory, a file that is a mount point), Replace
//      rewrites the file in place through the locked descriptor, which keeps its inode, owner,
//      group, hard links, ACLs and extended attributes, in the steps of profile::PlanInPlace
//      (profile.h): grown with blanks, so that a full disk or a size limit stops the write
//      before any old byte has changed; the new content padded to that size in one write; the
//      blanks cut. Between two steps the file reads as the old or the new content, and a step
//      that fails puts the old content back; a kill inside the one large write can leave a mix.
// Whenever Replace fails, the file is as it was and no temporary file of this run is left.
// Temporary files of killed runs (their process is gone) are removed by the next change.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>

namespace replace_file {

// Closes its descriptor, when it holds one (Fd >= 0), as it goes.
struct FileDescriptor {
    int Fd;
    explicit FileDescriptor(int Value) : Fd(Value) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { if (Fd >= 0) close(Fd); }
};

// The new content as the three pieces that an edit leaves: the old content's head, the changed
// bytes and the old content's tail. Written piece by piece, it needs no copy of the file.
struct NewContent {
    std::string_view Head;
    std::string_view Change;
    std::string_view Tail;
    size_t Size() const { return Head.size() + Change.size() + Tail.size(); }
};

// The descriptor of a regular file open with Access (O_RDONLY or O_RDWR), and its status; -1
// with errno otherwise.
int OpenRegular(const std::string& Path, struct stat& Status, int Access);
// flock(Operation), waiting at most ten seconds for another holder to let go.
bool Lock(int Fd, int Operation);
// Reads the whole file from its start into Content.
bool ReadAll(int Fd, const struct stat& Status, std::string& Content);
// The file that a write replaces: the path itself, or the file its symbolic links lead to, so
// that the links stay links.
bool ResolveTarget(const char* Path, std::string& Target);
// Replaces Target, whose content is Old, status Original and locked descriptor Fd, open for
// reading and writing.
bool Replace(const std::string& Target, int Fd, std::string_view Old, const NewContent& Content,
             const struct stat& Original);

// What a file made by the replacement keeps of the original (keep-attributes-posix.cpp).
// Gives the new file Fd the owner and group of the original; false when the process may not.
bool KeepOwner(int Fd, const struct stat& Original);
// Gives the new file Fd exactly the extended attributes of the original, OriginalFd: its access
// list (system.posix_acl_access), user.*, and security.* and trusted.* where the process may set
// them. Those the original lacks go, such as an access list inherited from the directory's
// default one. Setting an access list sets the mode's group bits to its mask, which the original
// has as its group bits too; the mode must come out as Mode. False when an attribute could not
// be read, set or removed, or the mode differs: then the file has to be rewritten in place.
bool KeepAttributes(int Fd, int OriginalFd, mode_t Mode);

}  // namespace replace_file
