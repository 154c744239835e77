// A scoped scratch directory for tests, and listings of directories.
#pragma once

#include <string>
#include <vector>

// A fresh directory under TMPDIR (or /tmp), open to every user (mode 0755), removed with
// everything in it when the object goes, whatever modes the test left inside.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::string& Path() const { return Path_; }

private:
    std::string Path_;
};

// The names in a directory, without "." and "..", sorted.
std::vector<std::string> ListDirectory(const std::string& Path);

// A copy of an executable at Destination, mode 0755, runnable by any user.
void CopyExecutable(const std::string& Source, const std::string& Destination);
