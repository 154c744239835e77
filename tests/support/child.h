// Runs a program as a child process the way a shell starts a command: every signal at its
// default disposition, an empty signal mask, the locale C.UTF-8, and standard input and output
// as the test asks (files, pipes, or a terminal). A limit or a change of user applies to the
// child alone. Every run is bounded: a child still running at its time limit is killed.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

// The unprivileged user that permission cases run as, since root bypasses file modes.
constexpr uid_t kNobody = 65534;

// Why nothing can be run as kNobody in Directory here, or "" when it can: switching to that user
// needs root, and every directory on the way to Directory must let others search it.
std::string WhyNotAsNobody(const std::string& Directory);

enum class Input {
    Null,      // /dev/null
    Pipe,      // a pipe held open and never written: a read would wait until the time limit
    Terminal,  // a new pseudo-terminal, also standard output and error, as a person at a screen
};

enum class Output {
    Files,       // standard output and standard error each to a file of its own
    MergedPipe,  // both into one pipe, as `program 2>&1 | cat` (ignored with Input::Terminal)
};

struct RunOptions {
    std::vector<std::string> Arguments;  // after the program name
    std::string Directory;               // where the child starts; empty: where the test runs
    std::string Path = "/usr/bin:/bin";  // PATH
    bool AsNobody = false;  // as kNobody with no supplementary groups, when the test runs as root
    Input In = Input::Null;
    Output Out = Output::Files;
    rlim_t FileSizeLimit = RLIM_INFINITY;  // RLIMIT_FSIZE of the child
    rlim_t AddressSpaceLimit = RLIM_INFINITY;  // RLIMIT_AS of the child in bytes, as `ulimit -v`
    // When User is not 0 (and the test runs as root): that user, with the primary group Group and
    // the supplementary groups Groups alone, as a login of that user would give.
    uid_t User = 0;
    gid_t Group = 0;
    std::vector<gid_t> Groups;
    int TimeoutMilliseconds = 30000;
};

struct RunResult {
    int Status = -1;  // exit status, or -1 when ended by a signal
    int Signal = 0;
    bool TimedOut = false;
    std::string Out;  // standard output; with MergedPipe or Terminal, all that was shown
    std::string Err;  // standard error; empty with MergedPipe or Terminal
};

// A running child. StartChild() makes it, FinishChild() waits for it and collects its output.
struct Child {
    pid_t Pid = -1;
    long long StartedMicroseconds = 0;
    int TimeoutMilliseconds = 0;
    int OutFd = -1;      // the file of standard output, or the pipe or terminal read from
    int ErrFd = -1;      // the file of standard error, with Output::Files
    int InputFd = -1;    // the writing end of the input pipe
    int TerminalFd = -1; // the child's side of the terminal, held so nothing shown is lost
    bool Live = false;   // OutFd is a pipe or a terminal, read while the child runs
    std::string Shown;   // what was read from it so far
};

Child StartChild(const std::string& Program, const RunOptions& Options);
RunResult FinishChild(Child& Running);
RunResult RunChild(const std::string& Program, const RunOptions& Options);

// With Input::Terminal: reads what the terminal shows until Wanted appears in it (answers true)
// or Milliseconds pass.
bool WaitForShown(Child& Running, const std::string& Wanted, int Milliseconds);
// With Input::Terminal: types Keys at the terminal.
bool Type(Child& Running, const std::string& Keys);
// Whether the child is still running (it is not waited for).
bool StillRunning(const Child& Running);

long long NowMicroseconds();

// Describes a run for assertion messages.
std::string Describe(const RunResult& Result);
