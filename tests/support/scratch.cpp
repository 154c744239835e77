#include "tests/support/scratch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

ScratchDirectory::ScratchDirectory()
{
    const char* Base = getenv("TMPDIR");
    std::string Template =
        std::string(Base && Base[0] == '/' ? Base : "/tmp") + "/vorkap-test-XXXXXX";
    if (!mkdtemp(Template.data())) {
        throw std::runtime_error("mkdtemp " + Template + ": " + strerror(errno));
    }
    Path_ = Template;
    chmod(Path_.c_str(), 0755);
}

ScratchDirectory::~ScratchDirectory()
{
    // Directories that a test made read-only or unsearchable are opened up first.
    std::error_code Ignored;
    chmod(Path_.c_str(), 0755);
    for (auto It = fs::recursive_directory_iterator(Path_, Ignored);
         It != fs::recursive_directory_iterator(); It.increment(Ignored)) {
        if (It->is_directory(Ignored) && !It->is_symlink(Ignored)) {
            chmod(It->path().c_str(), 0755);
        }
    }
    fs::remove_all(Path_, Ignored);
}

std::vector<std::string> ListDirectory(const std::string& Path)
{
    std::vector<std::string> Names;
    for (const fs::directory_entry& Item : fs::directory_iterator(Path)) {
        Names.push_back(Item.path().filename().string());
    }
    std::sort(Names.begin(), Names.end());
    return Names;
}

void CopyExecutable(const std::string& Source, const std::string& Destination)
{
    fs::copy_file(Source, Destination, fs::copy_options::overwrite_existing);
    fs::permissions(Destination, fs::perms(0755));
}
