// What a file made by the replacement keeps of the original: its owner and group, and its
// extended attributes, access lists among them (the contract is in replace-file.h).
#include "platform/replace-file.h"

#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

namespace replace_file {
namespace {

// The names of Fd's extended attributes that the process may see, into Names; none where the
// file system keeps no attributes. False when they could not be listed.
bool AttributeNames(int Fd, std::vector<std::string>& Names)
{
    std::vector<char> List;
    for (;;) {
        ssize_t Size = flistxattr(Fd, nullptr, 0);
        if (Size < 0) return errno == ENOTSUP;
        List.resize((size_t)Size + 1);  // never 0, which would only ask for the size again
        Size = flistxattr(Fd, List.data(), List.size());
        if (Size >= 0) {
            List.resize((size_t)Size);
            break;
        }
        if (errno != ERANGE) return false;  // ERANGE: the list grew meanwhile
    }
    for (size_t At = 0; At < List.size(); At += Names.back().size() + 1) {
        Names.emplace_back(List.data() + At);
    }
    return true;
}

// The value of Fd's attribute Name, into Value; false when it has none or it cannot be read.
bool AttributeValue(int Fd, const std::string& Name, std::string& Value)
{
    for (;;) {
        ssize_t Size = fgetxattr(Fd, Name.c_str(), nullptr, 0);
        if (Size < 0) return false;
        Value.resize((size_t)Size + 1);
        Size = fgetxattr(Fd, Name.c_str(), Value.data(), Value.size());
        if (Size >= 0) {
            Value.resize((size_t)Size);
            return true;
        }
        if (errno != ERANGE) return false;
    }
}

}  // namespace

bool KeepOwner(int Fd, const struct stat& Original)
{
    struct stat Made;
    if (fstat(Fd, &Made) != 0) return false;
    if (Made.st_uid == Original.st_uid && Made.st_gid == Original.st_gid) return true;
    return fchown(Fd, Original.st_uid, Original.st_gid) == 0;
}

bool KeepAttributes(int Fd, int OriginalFd, mode_t Mode)
{
    std::vector<std::string> Wanted, Present;
    if (!AttributeNames(OriginalFd, Wanted) || !AttributeNames(Fd, Present)) return false;
    for (const std::string& Name : Present) {
        if (std::find(Wanted.begin(), Wanted.end(), Name) == Wanted.end() &&
            fremovexattr(Fd, Name.c_str()) != 0) {
            return false;
        }
    }
    for (const std::string& Name : Wanted) {
        std::string Value, Current;
        if (!AttributeValue(OriginalFd, Name, Value)) return false;
        // One the new file has already (a security label given to every new file) is left be.
        if (AttributeValue(Fd, Name, Current) && Current == Value) continue;
        if (fsetxattr(Fd, Name.c_str(), Value.data(), Value.size(), 0) != 0) return false;
    }
    struct stat Made;
    return fstat(Fd, &Made) == 0 && (Made.st_mode & 07777) == Mode;
}

}  // namespace replace_file
