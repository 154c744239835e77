#include "tests/support/child.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace {

[[noreturn]] void Fail(const std::string& What)
{
    throw std::runtime_error(What + ": " + strerror(errno));
}

// The whole content of a file written by the child, from its start.
std::string ReadFromStart(int Fd)
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

// Appends what the pipe or terminal offers within Milliseconds. Answers the number of bytes
// read, 0 when none came in time, -1 at its end.
int ReadShown(Child& Running, int Milliseconds)
{
    struct pollfd Poll = {Running.OutFd, POLLIN, 0};
    if (poll(&Poll, 1, Milliseconds) <= 0) return 0;
    char Chunk[4096];
    ssize_t Got = read(Running.OutFd, Chunk, sizeof Chunk);
    if (Got < 0 && errno == EINTR) return 0;
    if (Got <= 0) return -1;
    Running.Shown.append(Chunk, (size_t)Got);
    return (int)Got;
}

// The environment of the child: the test's own, with the locale and PATH that the run asks for.
std::vector<std::string> ChildEnvironment(const RunOptions& Options)
{
    std::vector<std::string> Variables;
    for (char** Each = environ; *Each; Each++) {
        std::string Variable = *Each;
        if (Variable.rfind("LC_", 0) == 0 || Variable.rfind("LANG", 0) == 0 ||
            Variable.rfind("PATH=", 0) == 0) {
            continue;
        }
        Variables.push_back(Variable);
    }
    Variables.push_back("LC_ALL=C.UTF-8");
    Variables.push_back("PATH=" + Options.Path);
    return Variables;
}

}  // namespace

long long NowMicroseconds()
{
    struct timespec Now;
    clock_gettime(CLOCK_MONOTONIC, &Now);
    return (long long)Now.tv_sec * 1000000 + Now.tv_nsec / 1000;
}

Child StartChild(const std::string& Program, const RunOptions& Options)
{
    Child Running;
    Running.TimeoutMilliseconds = Options.TimeoutMilliseconds;
    // The child's ends of its standard streams.
    int ChildIn = -1, ChildOut = -1, ChildErr = -1;
    if (Options.In == Input::Terminal) {
        if (openpty(&Running.OutFd, &Running.TerminalFd, nullptr, nullptr, nullptr) != 0) {
            Fail("openpty");
        }
        fcntl(Running.OutFd, F_SETFD, FD_CLOEXEC);
        fcntl(Running.TerminalFd, F_SETFD, FD_CLOEXEC);
        ChildIn = ChildOut = ChildErr = Running.TerminalFd;
        Running.Live = true;
    } else {
        if (Options.In == Input::Pipe) {
            int Ends[2];
            if (pipe2(Ends, O_CLOEXEC) != 0) Fail("pipe");
            ChildIn = Ends[0];
            Running.InputFd = Ends[1];
        } else {
            ChildIn = open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (ChildIn < 0) Fail("open /dev/null");
        }
        if (Options.Out == Output::MergedPipe) {
            int Ends[2];
            if (pipe2(Ends, O_CLOEXEC) != 0) Fail("pipe");
            Running.OutFd = Ends[0];
            ChildOut = ChildErr = Ends[1];
            Running.Live = true;
        } else {
            Running.OutFd = ChildOut = memfd_create("stdout", MFD_CLOEXEC);
            Running.ErrFd = ChildErr = memfd_create("stderr", MFD_CLOEXEC);
            if (ChildOut < 0 || ChildErr < 0) Fail("memfd_create");
        }
    }

    // Everything the child needs is made before fork: between fork and exec it makes only
    // async-signal-safe calls.
    std::vector<std::string> Words = {Program};
    Words.insert(Words.end(), Options.Arguments.begin(), Options.Arguments.end());
    std::vector<char*> Argv;
    for (std::string& Word : Words) Argv.push_back(Word.data());
    Argv.push_back(nullptr);
    std::vector<std::string> Variables = ChildEnvironment(Options);
    std::vector<char*> Envp;
    for (std::string& Variable : Variables) Envp.push_back(Variable.data());
    Envp.push_back(nullptr);
    sigset_t Empty;
    sigemptyset(&Empty);
    struct sigaction Default = {};
    Default.sa_handler = SIG_DFL;
    bool SwitchUser = geteuid() == 0;  // any other user is unprivileged already

    fflush(nullptr);
    Running.StartedMicroseconds = NowMicroseconds();
    pid_t Pid = fork();
    if (Pid < 0) Fail("fork");
    if (Pid == 0) {
        for (int Signal = 1; Signal < NSIG; Signal++) sigaction(Signal, &Default, nullptr);
        sigprocmask(SIG_SETMASK, &Empty, nullptr);
        if (Options.In == Input::Terminal &&
            (setsid() < 0 || ioctl(ChildIn, TIOCSCTTY, 0) != 0)) {
            _exit(126);
        }
        if (dup2(ChildIn, 0) < 0 || dup2(ChildOut, 1) < 0 || dup2(ChildErr, 2) < 0) _exit(126);
        if (Options.FileSizeLimit != RLIM_INFINITY) {
            struct rlimit Limit = {Options.FileSizeLimit, Options.FileSizeLimit};
            if (setrlimit(RLIMIT_FSIZE, &Limit) != 0) _exit(126);
        }
        if (Options.AddressSpaceLimit != RLIM_INFINITY) {
            struct rlimit Limit = {Options.AddressSpaceLimit, Options.AddressSpaceLimit};
            if (setrlimit(RLIMIT_AS, &Limit) != 0) _exit(126);
        }
        if (!Options.Directory.empty() && chdir(Options.Directory.c_str()) != 0) _exit(126);
        if (Options.User != 0 && SwitchUser &&
            (setgroups(Options.Groups.size(), Options.Groups.data()) != 0 ||
             setgid(Options.Group) != 0 || setuid(Options.User) != 0)) {
            _exit(126);
        }
        if (Options.AsNobody && SwitchUser &&
            (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
            _exit(126);
        }
        execve(Argv[0], Argv.data(), Envp.data());
        _exit(127);
    }
    Running.Pid = Pid;
    // The child's ends are the child's alone; a terminal stays open on this side too, so that
    // what the child showed can still be read after it has ended.
    if (ChildIn != Running.TerminalFd) close(ChildIn);
    if (Running.Live && Options.In != Input::Terminal) close(ChildOut);
    return Running;
}

bool StillRunning(const Child& Running)
{
    siginfo_t Info = {};
    return waitid(P_PID, Running.Pid, &Info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           Info.si_pid == 0;
}

bool WaitForShown(Child& Running, const std::string& Wanted, int Milliseconds)
{
    long long Deadline = NowMicroseconds() + (long long)Milliseconds * 1000;
    while (Running.Shown.find(Wanted) == std::string::npos && NowMicroseconds() < Deadline) {
        if (ReadShown(Running, 20) < 0) break;
    }
    return Running.Shown.find(Wanted) != std::string::npos;
}

bool Type(Child& Running, const std::string& Keys)
{
    return write(Running.OutFd, Keys.data(), Keys.size()) == (ssize_t)Keys.size();
}

RunResult FinishChild(Child& Running)
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
        if (Running.Live) {
            ReadShown(Running, 1);
        } else {
            struct timespec Pause = {0, 200 * 1000};
            nanosleep(&Pause, nullptr);
        }
    }
    if (WIFEXITED(WaitStatus)) Result.Status = WEXITSTATUS(WaitStatus);
    if (WIFSIGNALED(WaitStatus)) Result.Signal = WTERMSIG(WaitStatus);
    if (Running.Live) {
        // The rest of what was shown: a pipe up to its end; a terminal, which this side holds
        // open, until it has been quiet for a while, as the kernel may still be passing on what
        // the child wrote just before it ended.
        int Quiet = Running.TerminalFd >= 0 ? 200 : 10000;
        while (ReadShown(Running, Quiet) > 0) {
        }
        Result.Out = Running.Shown;
    } else {
        Result.Out = ReadFromStart(Running.OutFd);
        Result.Err = ReadFromStart(Running.ErrFd);
    }
    for (int* Fd : {&Running.OutFd, &Running.ErrFd, &Running.InputFd, &Running.TerminalFd}) {
        if (*Fd >= 0) close(*Fd);
        *Fd = -1;
    }
    Running.Pid = -1;
    return Result;
}

RunResult RunChild(const std::string& Program, const RunOptions& Options)
{
    Child Running = StartChild(Program, Options);
    return FinishChild(Running);
}

std::string Describe(const RunResult& Result)
{
    std::string Text = "status " + std::to_string(Result.Status);
    if (Result.Signal) Text += ", signal " + std::to_string(Result.Signal);
    if (Result.TimedOut) Text += ", timed out";
    Text += "\nstdout: " + Result.Out.substr(0, 4000) + "\nstderr: " + Result.Err.substr(0, 4000);
    return Text;
}

std::string WhyNotAsNobody(const std::string& Directory)
{
    if (geteuid() != 0) return "needs root to run as uid " + std::to_string(kNobody);
    for (std::string Path = Directory; !Path.empty();) {
        struct stat Status;
        if (stat(Path.c_str(), &Status) != 0 || !(Status.st_mode & S_IXOTH)) {
            return "uid " + std::to_string(kNobody) + " cannot reach " + Path + " (set TMPDIR)";
        }
        size_t Slash = Path.rfind('/');
        Path.resize(Slash == std::string::npos || Slash == 0 ? 0 : Slash);
    }
    return "";
}
