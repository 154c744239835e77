#include "tests/robustness/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace robust {

const char kEntry[] = "Export HTML Files,1,_Vorkap,,.Htm,,1,";
// notes.iniを更新できませんでした。 / notes.iniへの書き込み権限を確認してください。
const char kWriteFailedText[] =
    "notes.ini\xE3\x82\x92\xE6\x9B\xB4\xE6\x96\xB0\xE3\x81\xA7\xE3\x81\x8D\xE3\x81\xBE\xE3\x81"
    "\x9B\xE3\x82\x93\xE3\x81\xA7\xE3\x81\x97\xE3\x81\x9F\xE3\x80\x82\nnotes.ini\xE3\x81\xB8"
    "\xE3\x81\xAE\xE6\x9B\xB8\xE3\x81\x8D\xE8\xBE\xBC\xE3\x81\xBF\xE6\xA8\xA9\xE9\x99\x90\xE3"
    "\x82\x92\xE7\xA2\xBA\xE8\xAA\x8D\xE3\x81\x97\xE3\x81\xA6\xE3\x81\x8F\xE3\x81\xA0\xE3\x81"
    "\x95\xE3\x81\x84\xE3\x80\x82";

namespace {

[[noreturn]] void Fail(const std::string& What)
{
    throw std::runtime_error(What + ": " + strerror(errno));
}

std::string ReadFd(int Fd)
{
    std::string Content;
    char Chunk[65536];
    for (off_t Offset = 0;;) {
        ssize_t Got = pread(Fd, Chunk, sizeof Chunk, Offset);
        if (Got < 0 && errno == EINTR) continue;
        if (Got <= 0) break;
        Content.append(Chunk, (size_t)Got);
        Offset += Got;
    }
    return Content;
}

int RemoveEntry(const char* Path, const struct stat*, int, struct FTW*)
{
    remove(Path);
    return 0;
}

std::string TemporaryDirectoryBase()
{
    const char* Base = getenv("TMPDIR");
    return (Base && Base[0] == '/') ? Base : "/tmp";
}

}  // namespace

std::string ReadFile(const std::string& Path)
{
    int Fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (Fd < 0) Fail("open " + Path);
    struct stat Status;
    std::string Content;
    if (fstat(Fd, &Status) == 0 && S_ISREG(Status.st_mode)) {
        Content.resize((size_t)Status.st_size);
        size_t Have = 0;
        while (Have < Content.size()) {
            ssize_t Got = pread(Fd, &Content[Have], Content.size() - Have, (off_t)Have);
            if (Got < 0 && errno == EINTR) continue;
            if (Got <= 0) break;
            Have += (size_t)Got;
        }
        Content.resize(Have);
    }
    close(Fd);
    return Content;
}

void WriteFile(const std::string& Path, const std::string& Content)
{
    int Fd = open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (Fd < 0) Fail("create " + Path);
    size_t Done = 0;
    while (Done < Content.size()) {
        ssize_t Wrote = write(Fd, Content.data() + Done, Content.size() - Done);
        if (Wrote < 0 && errno == EINTR) continue;
        if (Wrote <= 0) {
            close(Fd);
            Fail("write " + Path);
        }
        Done += (size_t)Wrote;
    }
    close(Fd);
}

bool PathExists(const std::string& Path)
{
    struct stat Status;
    return lstat(Path.c_str(), &Status) == 0;
}

std::vector<std::string> ListDirectory(const std::string& Path)
{
    std::vector<std::string> Names;
    DIR* Listing = opendir(Path.c_str());
    if (!Listing) Fail("opendir " + Path);
    while (struct dirent* Item = readdir(Listing)) {
        std::string Name = Item->d_name;
        if (Name != "." && Name != "..") Names.push_back(Name);
    }
    closedir(Listing);
    std::sort(Names.begin(), Names.end());
    return Names;
}

std::vector<std::string> TemporaryFiles(const std::string& Directory)
{
    std::vector<std::string> Found;
    for (const std::string& Name : ListDirectory(Directory)) {
        if (Name.rfind(".notes.ini.vorkap-", 0) == 0) Found.push_back(Name);
    }
    return Found;
}

Scratch::Scratch()
{
    std::string Template = TemporaryDirectoryBase() + "/vorkap-robustness-XXXXXX";
    std::vector<char> Name(Template.begin(), Template.end());
    Name.push_back('\0');
    if (!mkdtemp(Name.data())) Fail("mkdtemp");
    Root_ = Name.data();
    chmod(Root_.c_str(), 0755);
    Notes_ = Root_ + "/n";
    if (mkdir(Notes_.c_str(), 0755) != 0) Fail("mkdir " + Notes_);
    Program_ = Root_ + "/vorkap-setup";
    WriteFile(Program_, ReadFile(VORKAP_SETUP_BINARY));
    chmod(Program_.c_str(), 0755);
}

Scratch::~Scratch()
{
    nftw(Root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void Scratch::GiveToNobody()
{
    if (chown(Notes_.c_str(), kNobody, kNobody) != 0) Fail("chown " + Notes_);
    if (PathExists(Ini()) && lchown(Ini().c_str(), kNobody, kNobody) != 0) Fail("chown ini");
}

bool NobodyCanReach(const std::string& Directory)
{
    std::string Path = Directory;
    while (!Path.empty()) {
        struct stat Status;
        if (stat(Path.c_str(), &Status) != 0 || !(Status.st_mode & S_IXOTH)) return false;
        size_t Slash = Path.rfind('/');
        if (Slash == std::string::npos || Slash == 0) break;
        Path.resize(Slash);
    }
    return true;
}

long long NowMicroseconds()
{
    struct timespec Now;
    clock_gettime(CLOCK_MONOTONIC, &Now);
    return (long long)Now.tv_sec * 1000000 + Now.tv_nsec / 1000;
}

Child Start(const std::string& Program, const RunOptions& Options)
{
    Child Running;
    Running.OutFd = memfd_create("stdout", MFD_CLOEXEC);
    Running.ErrFd = memfd_create("stderr", MFD_CLOEXEC);
    if (Running.OutFd < 0 || Running.ErrFd < 0) Fail("memfd_create");
    Running.TimeoutMilliseconds = Options.TimeoutMilliseconds;

    std::vector<std::string> Words = {Program};
    Words.insert(Words.end(), Options.Arguments.begin(), Options.Arguments.end());
    std::vector<char*> Argv;
    for (std::string& Word : Words) Argv.push_back(&Word[0]);
    Argv.push_back(nullptr);

    std::string SearchPath = Options.SearchPath.empty() ? "/usr/bin:/bin"
                                                        : Options.SearchPath + ":/usr/bin:/bin";
    Running.StartedMicroseconds = NowMicroseconds();
    pid_t Pid = fork();
    if (Pid < 0) Fail("fork");
    if (Pid == 0) {
        // The child: only async-signal-safe calls until exec.
        int Null = open("/dev/null", O_RDONLY);
        if (Null < 0 || dup2(Null, 0) < 0 || dup2(Running.OutFd, 1) < 0 ||
            dup2(Running.ErrFd, 2) < 0) {
            _exit(126);
        }
        signal(SIGXFSZ, SIG_IGN);
        signal(SIGPIPE, SIG_DFL);
        if (Options.FileSizeLimit != RLIM_INFINITY) {
            struct rlimit Limit = {Options.FileSizeLimit, Options.FileSizeLimit};
            if (setrlimit(RLIMIT_FSIZE, &Limit) != 0) _exit(126);
        }
        if (!Options.Directory.empty() && chdir(Options.Directory.c_str()) != 0) _exit(126);
        if (Options.AsNobody) {
            if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
                _exit(126);
            }
        }
        setenv("LC_ALL", "C.UTF-8", 1);
        unsetenv("LANG");
        setenv("PATH", SearchPath.c_str(), 1);
        execv(Argv[0], Argv.data());
        _exit(127);
    }
    Running.Pid = Pid;
    return Running;
}

RunResult Finish(Child& Running)
{
    RunResult Result;
    int WaitStatus = 0;
    long long Deadline =
        Running.StartedMicroseconds + (long long)Running.TimeoutMilliseconds * 1000;
    for (;;) {
        pid_t Done = waitpid(Running.Pid, &WaitStatus, WNOHANG);
        if (Done == Running.Pid) break;
        if (Done < 0 && errno != EINTR) Fail("waitpid");
        if (NowMicroseconds() > Deadline && !Result.TimedOut) {
            Result.TimedOut = true;
            kill(Running.Pid, SIGKILL);
        }
        struct timespec Pause = {0, 200 * 1000};
        nanosleep(&Pause, nullptr);
    }
    if (WIFEXITED(WaitStatus)) Result.Status = WEXITSTATUS(WaitStatus);
    if (WIFSIGNALED(WaitStatus)) Result.Signal = WTERMSIG(WaitStatus);
    Result.Out = ReadFd(Running.OutFd);
    Result.Err = ReadFd(Running.ErrFd);
    close(Running.OutFd);
    close(Running.ErrFd);
    Running.Pid = -1;
    return Result;
}

RunResult Run(const std::string& Program, const RunOptions& Options)
{
    Child Running = Start(Program, Options);
    return Finish(Running);
}

RunResult RunSetup(const Scratch& Where, bool Remove, bool AsNobody, rlim_t FileSizeLimit)
{
    RunOptions Options;
    Options.Arguments = {"/I"};
    if (Remove) Options.Arguments.push_back("/U");
    Options.Directory = Where.Root();
    Options.SearchPath = Where.Notes();
    Options.AsNobody = AsNobody;
    Options.FileSizeLimit = FileSizeLimit;
    return Run(Where.Program(), Options);
}

std::string Describe(const RunResult& Result)
{
    std::string Text = "status " + std::to_string(Result.Status);
    if (Result.Signal) Text += ", signal " + std::to_string(Result.Signal);
    if (Result.TimedOut) Text += ", timed out";
    Text += "\nstdout: " + Result.Out + "\nstderr: " + Result.Err.substr(0, 4000);
    return Text;
}

}  // namespace robust
