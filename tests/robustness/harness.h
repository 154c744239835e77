// Shared tools of the robustness tests: scratch Notes directories, whole-file reads and writes,
// and runs of the setup program (or of the profile writer) as a child process that is always
// stopped within a time limit, optionally as an unprivileged user or under a file-size limit.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace robust {

// The unprivileged user that permission cases run as: root bypasses file modes.
constexpr uid_t kNobody = 65534;

// The registration that the program writes, and the status and text of its failure report.
extern const char kEntry[];
extern const char kWriteFailedText[];  // the message in UTF-8, as /I prints it under C.UTF-8
constexpr int kStatusDone = 0;
constexpr int kStatusNotFound = 1;
constexpr int kStatusWriteFailed = 2;

std::string ReadFile(const std::string& Path);
void WriteFile(const std::string& Path, const std::string& Content);
bool PathExists(const std::string& Path);
// The names in a directory, without "." and "..", sorted.
std::vector<std::string> ListDirectory(const std::string& Path);
// The names in a directory that look like the engine's temporary files of notes.ini.
std::vector<std::string> TemporaryFiles(const std::string& Directory);

// A fresh directory under TMPDIR (or /tmp), removed with everything in it at the end. It holds a
// copy of the program and a Notes directory "n" for notes.ini, both reachable by kNobody. The
// program makes its own directory current, finds no notes.ini there, and finds the one in "n"
// through PATH, so "n" holds nothing but what a test puts there.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    const std::string& Root() const { return Root_; }
    const std::string& Notes() const { return Notes_; }  // the Notes directory
    std::string Ini() const { return Notes_ + "/notes.ini"; }
    const std::string& Program() const { return Program_; }
    // Gives the Notes directory (and notes.ini, when present) to kNobody.
    void GiveToNobody();

private:
    std::string Root_;
    std::string Notes_;
    std::string Program_;
};

struct RunOptions {
    std::vector<std::string> Arguments;  // after the program name
    std::string Directory;               // where the child starts
    std::string SearchPath;              // put first in PATH
    bool AsNobody = false;
    rlim_t FileSizeLimit = RLIM_INFINITY;  // RLIMIT_FSIZE; SIGXFSZ is ignored
    int TimeoutMilliseconds = 30000;
};

struct RunResult {
    int Status = -1;  // exit status, or -1 when ended by a signal
    int Signal = 0;
    bool TimedOut = false;
    std::string Out;
    std::string Err;
};

// Starts Program with the options; standard input is /dev/null, outputs go to memory files.
// Answers the child's id. Finish() waits for it (killing it once the time limit has passed).
struct Child {
    pid_t Pid = -1;
    int OutFd = -1;
    int ErrFd = -1;
    long long StartedMicroseconds = 0;
    int TimeoutMilliseconds = 0;
};
Child Start(const std::string& Program, const RunOptions& Options);
RunResult Finish(Child& Running);
RunResult Run(const std::string& Program, const RunOptions& Options);

// The setup program in the scratch directory, run from its Notes directory with /I.
RunResult RunSetup(const Scratch& Where, bool Remove, bool AsNobody = false,
                   rlim_t FileSizeLimit = RLIM_INFINITY);

long long NowMicroseconds();

// Whether kNobody can reach a directory: every directory on the way lets others search it.
bool NobodyCanReach(const std::string& Directory);

// Describes a run for assertion messages.
std::string Describe(const RunResult& Result);

}  // namespace robust
