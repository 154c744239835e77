#include "tests/robustness/harness.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace robust {

std::vector<std::string> TemporaryFiles(const std::string& Directory)
{
    std::vector<std::string> Found;
    for (const std::string& Name : ListDirectory(Directory)) {
        if (Name.rfind(".notes.ini.vorkap-", 0) == 0) Found.push_back(Name);
    }
    return Found;
}

Scratch::Scratch() : Notes_(Root() + "/n"), Program_(Root() + "/vorkap-setup")
{
    if (mkdir(Notes_.c_str(), 0755) != 0) {
        throw std::runtime_error("mkdir " + Notes_ + ": " + strerror(errno));
    }
    CopyExecutable(VORKAP_SETUP_BINARY, Program_);
}

void Scratch::GiveToNobody()
{
    struct stat Status;
    if (chown(Notes_.c_str(), kNobody, kNobody) != 0 ||
        (lstat(Ini().c_str(), &Status) == 0 && lchown(Ini().c_str(), kNobody, kNobody) != 0)) {
        throw std::runtime_error("chown " + Notes_ + ": " + strerror(errno));
    }
}

RunOptions SetupOptions(const Scratch& Where, bool Remove)
{
    RunOptions Options;
    Options.Arguments = {"/I"};
    if (Remove) Options.Arguments.push_back("/U");
    Options.Directory = Where.Root();
    Options.Path = Where.Notes() + ":/usr/bin:/bin";
    return Options;
}

RunResult RunSetup(const Scratch& Where, bool Remove, bool AsNobody, rlim_t FileSizeLimit)
{
    RunOptions Options = SetupOptions(Where, Remove);
    Options.AsNobody = AsNobody;
    Options.FileSizeLimit = FileSizeLimit;
    return RunChild(Where.Program(), Options);
}

}  // namespace robust
