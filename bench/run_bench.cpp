// Benchmarks of the profile engine and of whole runs of the setup program.
//
//   vorkap_bench [--sizes=10K,1M,10M,100M] [--reps=N] [--scratch=DIR] [--program=PATH]
//                [--no-engine] [--no-runs] [--no-fresh]
//
// --program times another build of the setup program (to compare two versions); the engine part
// always measures the engine this benchmark is built with.
//
// Part 1 times the engine on bytes in memory: a lookup of a key near the end of "Notes", the 27
// lookups of a registration's slot scan (one by one, and through a section index as the file
// layer does for a file it keeps), and a set that adds a key (built, and only planned).
//
// Part 2 times whole runs of the built program, copied into a scratch directory beside a
// generated notes.ini: a registration and a removal, each next to the floor, a minimal program
// that reads the file once and replaces it crash-safely with one line changed. The runs and the
// floor alternate, and every one starts from the same file, written, flushed and renamed into
// place before it (that restore is not timed). The program's read cache trusts a file only once
// its change time is older than the file system's clock tick, so a file written a moment before
// is read anew by every lookup; the main columns wait for the tick to pass after the restore, as
// for a notes.ini that was written long before setup runs; the "fresh" column stamps the file's
// times with the present and runs at once. Each run's output file is checked against the
// expected bytes, and each child's peak memory is its ru_maxrss from wait4.
//
// The scratch directory defaults to build/bench/scratch, on the repository's file system, so
// that the flushes are real (the table names the file system); its run directory is removed at
// the end.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/content.h"
#include "platform/profile.h"

namespace fs = std::filesystem;

namespace {

const char kEntry[] = "Export HTML Files,1,_Vorkap,,.Htm,,1,";

struct Options {
    std::vector<size_t> Sizes;
    int Reps = 0;  // 0: chosen per size
    std::string Scratch = VORKAP_BENCH_SCRATCH;
    std::string Program = VORKAP_SETUP_BINARY;
    bool Engine = true;
    bool Runs = true;
    bool Fresh = true;
};

[[noreturn]] void Die(const std::string& Message)
{
    fprintf(stderr, "vorkap_bench: %s\n", Message.c_str());
    exit(1);
}

double Now()
{
    struct timespec Time;
    clock_gettime(CLOCK_MONOTONIC, &Time);
    return (double)Time.tv_sec + (double)Time.tv_nsec * 1e-9;
}

double Median(std::vector<double> Values)
{
    std::sort(Values.begin(), Values.end());
    size_t Count = Values.size();
    return Count % 2 ? Values[Count / 2] : (Values[Count / 2 - 1] + Values[Count / 2]) / 2;
}

bool ParseOptions(int argc, char** argv, Options& Result)
{
    std::string SizeList = "10K,1M,10M,100M";
    for (int Index = 1; Index < argc; Index++) {
        std::string Argument = argv[Index];
        auto Value = [&](const char* Name, std::string& Out) {
            std::string Prefix = std::string(Name) + "=";
            if (Argument.compare(0, Prefix.size(), Prefix) != 0) return false;
            Out = Argument.substr(Prefix.size());
            return true;
        };
        std::string Text;
        if (Value("--sizes", Text)) {
            SizeList = Text;
        } else if (Value("--reps", Text)) {
            Result.Reps = atoi(Text.c_str());
            if (Result.Reps < 1) return false;
        } else if (Value("--scratch", Text)) {
            Result.Scratch = Text;
        } else if (Value("--program", Text)) {
            Result.Program = Text;
        } else if (Argument == "--no-engine") {
            Result.Engine = false;
        } else if (Argument == "--no-runs") {
            Result.Runs = false;
        } else if (Argument == "--no-fresh") {
            Result.Fresh = false;
        } else {
            return false;
        }
    }
    std::stringstream List(SizeList);
    std::string Item;
    while (std::getline(List, Item, ',')) {
        size_t Size = bench::ParseSize(Item);
        if (Size == 0) return false;
        Result.Sizes.push_back(Size);
    }
    return !Result.Sizes.empty();
}

// ---- Part 1: the engine on bytes in memory -------------------------------------------------

// Runs Body until it has taken at least a fifth of a second (and three times at least), and
// answers the seconds of one call.
template <typename Function>
double TimeEach(Function Body)
{
    int Calls = 0;
    double Start = Now();
    double Elapsed = 0;
    do {
        Body();
        Calls++;
        Elapsed = Now() - Start;
    } while (Elapsed < 0.2 || Calls < 3);
    return Elapsed / Calls;
}

volatile size_t Sink;

void BenchEngine(const std::vector<size_t>& Sizes)
{
    printf("Engine on bytes in memory (time per call; ns per byte of the file)\n");
    printf("  lookup: a key near the end of \"Notes\"; 27 lookups: VIEWEXP5..31 one by one;\n"
           "  27 indexed: the same through a SectionIndex built first; set: add VIEWEXP10 and\n"
           "  build the new content; plan set: the same change planned only, as the file layer\n"
           "  does\n");
    printf("%-8s %12s %8s %12s %8s %12s %8s %12s %8s %12s %8s\n", "size", "lookup", "ns/B",
           "27 lookups", "ns/B", "27 indexed", "ns/B", "set (add)", "ns/B", "plan set", "ns/B");
    for (size_t Size : Sizes) {
        bench::NotesFile File = bench::GenerateNotesFile(Size);
        const std::string& Content = File.Content;
        if (profile::FindValue(Content, "Notes", File.NearEndKey) == std::nullopt) {
            Die("generated file lacks " + File.NearEndKey);
        }
        double Lookup = TimeEach([&] {
            Sink = profile::FindValue(Content, "Notes", File.NearEndKey)->size();
        });
        double Scan = TimeEach([&] {
            char Buffer[256];
            for (int Slot = 5; Slot <= 31; Slot++) {
                std::string Key = "VIEWEXP" + std::to_string(Slot);
                Sink = profile::ReadString(Content, "Notes", Key, "", Buffer, sizeof Buffer);
            }
        });
        // What the file layer does for a file it may keep: index the section, then 27 lookups.
        double Indexed = TimeEach([&] {
            char Buffer[256];
            profile::SectionIndex Index(Content, "Notes");
            for (int Slot = 5; Slot <= 31; Slot++) {
                std::string Key = "VIEWEXP" + std::to_string(Slot);
                Sink = Index.ReadString(Key, "", Buffer, sizeof Buffer);
            }
        });
        std::string Out;
        double Set = TimeEach([&] {
            if (profile::Edit(Content, "Notes", "VIEWEXP10", kEntry, Out) !=
                profile::EditResult::Changed) {
                Die("set did not change the file");
            }
            Sink = Out.size();
        });
        profile::EditPlan Plan;
        double Planned = TimeEach([&] {
            if (profile::PlanEdit(Content, "Notes", "VIEWEXP10", kEntry, Plan) !=
                profile::EditResult::Changed) {
                Die("set did not change the file");
            }
            Sink = Plan.Offset;
        });
        double Bytes = (double)Content.size();
        printf("%-8s %9.3f ms %8.3f %9.3f ms %8.3f %9.3f ms %8.3f %9.3f ms %8.3f %9.3f ms %8.3f\n",
               bench::SizeLabel(Size).c_str(), Lookup * 1e3, Lookup * 1e9 / Bytes, Scan * 1e3,
               Scan * 1e9 / Bytes, Indexed * 1e3, Indexed * 1e9 / Bytes, Set * 1e3,
               Set * 1e9 / Bytes, Planned * 1e3, Planned * 1e9 / Bytes);
        fflush(stdout);
    }
    printf("\n");
}

// ---- Part 2: whole runs ----------------------------------------------------------------------

void WriteWhole(int Fd, const std::string& Content)
{
    for (size_t Done = 0; Done < Content.size();) {
        ssize_t Wrote = write(Fd, Content.data() + Done, Content.size() - Done);
        if (Wrote < 0) Die(std::string("write: ") + strerror(errno));
        Done += (size_t)Wrote;
    }
}

void FlushDirectory(const std::string& Directory)
{
    int Fd = open(Directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Fd < 0 || fsync(Fd) != 0) Die("cannot flush " + Directory);
    close(Fd);
}

// Puts Content in place at Path as a crash-safe replacement would, so that every run starts from
// a new, flushed file, then flushes the whole file system: no dirty pages or pending journal work
// of an earlier run (such as freeing the file it replaced) are left for the timed run to pay.
void Restore(const std::string& Directory, const std::string& Path, const std::string& Content)
{
    std::string Temporary = Directory + "/.restore.tmp";
    int Fd = open(Temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (Fd < 0) Die("cannot create " + Temporary);
    WriteWhole(Fd, Content);
    if (fsync(Fd) != 0 || close(Fd) != 0) Die("cannot flush " + Temporary);
    if (rename(Temporary.c_str(), Path.c_str()) != 0) Die("cannot rename to " + Path);
    FlushDirectory(Directory);
    int Root = open(Directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (Root < 0 || syncfs(Root) != 0) Die("cannot flush the file system of " + Directory);
    close(Root);
}

// Waits until the file's change and modification times lie before the coarse real-time clock,
// the clock that the file system stamps files with: from then on, the file is as it would be
// had it been written long ago.
void WaitPastClockTick(const std::string& Path)
{
    struct stat Status;
    if (stat(Path.c_str(), &Status) != 0) Die("cannot stat " + Path);
    auto Before = [](const struct timespec& A, const struct timespec& B) {
        return A.tv_sec < B.tv_sec || (A.tv_sec == B.tv_sec && A.tv_nsec < B.tv_nsec);
    };
    for (;;) {
        struct timespec Clock;
        clock_gettime(CLOCK_REALTIME_COARSE, &Clock);
        if (Before(Status.st_ctim, Clock) && Before(Status.st_mtim, Clock)) return;
        struct timespec Pause = {0, 500 * 1000};
        nanosleep(&Pause, nullptr);
    }
}

std::string ReadWhole(const std::string& Path)
{
    std::ifstream In(Path, std::ios::binary);
    if (!In) Die("cannot read " + Path);
    std::ostringstream Text;
    Text << In.rdbuf();
    return Text.str();
}

// Children are started by a small launcher process, forked before the benchmark holds any large
// buffer: a child's peak memory (ru_maxrss) counts the pages it shared with its parent before
// exec, so children forked from the benchmark itself would report the benchmark's own size.
struct Launcher {
    int Requests = -1;
    int Results = -1;
};
Launcher TheLauncher;

struct Outcome {
    int Status;
    double Seconds;
    long PeakKb;
};

bool ReadExactly(int Fd, void* Data, size_t Size)
{
    char* Bytes = (char*)Data;
    while (Size > 0) {
        ssize_t Got = read(Fd, Bytes, Size);
        if (Got < 0 && errno == EINTR) continue;
        if (Got <= 0) return false;
        Bytes += Got;
        Size -= (size_t)Got;
    }
    return true;
}

bool WriteExactly(int Fd, const void* Data, size_t Size)
{
    const char* Bytes = (const char*)Data;
    while (Size > 0) {
        ssize_t Wrote = write(Fd, Bytes, Size);
        if (Wrote < 0 && errno == EINTR) continue;
        if (Wrote <= 0) return false;
        Bytes += Wrote;
        Size -= (size_t)Wrote;
    }
    return true;
}

// The launcher's loop: an argument count and the arguments in, the outcome of the run out.
[[noreturn]] void ServeLaunches(int Requests, int Results)
{
    for (;;) {
        uint32_t Count = 0;
        if (!ReadExactly(Requests, &Count, sizeof Count)) _exit(0);
        std::vector<std::string> Arguments(Count);
        for (std::string& Argument : Arguments) {
            uint32_t Length = 0;
            if (!ReadExactly(Requests, &Length, sizeof Length)) _exit(1);
            Argument.resize(Length);
            if (Length && !ReadExactly(Requests, &Argument[0], Length)) _exit(1);
        }
        std::vector<char*> Argv;
        for (std::string& Argument : Arguments) Argv.push_back(&Argument[0]);
        Argv.push_back(nullptr);

        Outcome Result = {-1, 0, 0};
        double Start = Now();
        pid_t Child = fork();
        if (Child == 0) {
            int Null = open("/dev/null", O_RDWR);
            dup2(Null, STDIN_FILENO);
            dup2(Null, STDOUT_FILENO);
            dup2(Null, STDERR_FILENO);
            execv(Argv[0], Argv.data());
            _exit(127);
        }
        struct rusage Usage;
        if (Child > 0 && wait4(Child, &Result.Status, 0, &Usage) == Child) {
            Result.Seconds = Now() - Start;
            Result.PeakKb = Usage.ru_maxrss;
        }
        if (!WriteExactly(Results, &Result, sizeof Result)) _exit(1);
    }
}

void StartLauncher()
{
    int ToLauncher[2];
    int FromLauncher[2];
    if (pipe(ToLauncher) != 0 || pipe(FromLauncher) != 0) Die("pipe failed");
    fflush(nullptr);
    pid_t Child = fork();
    if (Child < 0) Die("fork failed");
    if (Child == 0) {
        close(ToLauncher[1]);
        close(FromLauncher[0]);
        ServeLaunches(ToLauncher[0], FromLauncher[1]);
    }
    close(ToLauncher[0]);
    close(FromLauncher[1]);
    fcntl(ToLauncher[1], F_SETFD, FD_CLOEXEC);
    fcntl(FromLauncher[0], F_SETFD, FD_CLOEXEC);
    TheLauncher = {ToLauncher[1], FromLauncher[0]};
}

struct Measure {
    double Seconds;
    long PeakKb;
};

// Runs a program through the launcher, its output sent to /dev/null, and answers its wall time
// (from fork to the end of wait4) and peak memory.
Measure RunChild(const std::vector<std::string>& Arguments)
{
    uint32_t Count = (uint32_t)Arguments.size();
    bool Sent = WriteExactly(TheLauncher.Requests, &Count, sizeof Count);
    for (const std::string& Argument : Arguments) {
        uint32_t Length = (uint32_t)Argument.size();
        Sent = Sent && WriteExactly(TheLauncher.Requests, &Length, sizeof Length) &&
               WriteExactly(TheLauncher.Requests, Argument.data(), Length);
    }
    Outcome Result;
    if (!Sent || !ReadExactly(TheLauncher.Results, &Result, sizeof Result)) {
        Die("the launcher is gone");
    }
    if (!WIFEXITED(Result.Status) || WEXITSTATUS(Result.Status) != 0) {
        Die(Arguments[0] + " failed with status " + std::to_string(Result.Status));
    }
    return {Result.Seconds, Result.PeakKb};
}

// The one change between two contents: REMOVE bytes at OFFSET of From become INSERT.
struct Change {
    size_t Offset;
    size_t Remove;
    std::string Insert;
};

Change Difference(const std::string& From, const std::string& To)
{
    size_t Shorter = std::min(From.size(), To.size());
    size_t Prefix = 0;
    while (Prefix < Shorter && From[Prefix] == To[Prefix]) Prefix++;
    size_t Suffix = 0;
    while (Suffix < Shorter - Prefix &&
           From[From.size() - 1 - Suffix] == To[To.size() - 1 - Suffix]) {
        Suffix++;
    }
    return {Prefix, From.size() - Prefix - Suffix, To.substr(Prefix, To.size() - Prefix - Suffix)};
}

struct Case {
    const char* Name;
    std::vector<std::string> Arguments;  // after the program's path
    const std::string* Before;
    const std::string* After;
};

int DefaultReps(size_t Size)
{
    if (Size <= (64u << 10)) return 21;
    if (Size <= (4u << 20)) return 15;
    return 9;
}

const char* FileSystemName(const std::string& Directory)
{
    struct statfs Info;
    if (statfs(Directory.c_str(), &Info) != 0) return "unknown";
    switch ((unsigned long)Info.f_type) {
    case 0xEF53: return "ext2/3/4";
    case 0x01021994: return "tmpfs (fsync is not real)";
    case 0x9123683E: return "btrfs";
    case 0x58465342: return "xfs";
    case 0x794C7630: return "overlayfs";
    default: return "other";
    }
}

// One size's results, for the summaries after the main table.
struct Row {
    size_t Size;
    double Register, RegisterFloor;        // medians
    double FastRegister, FastRegisterFloor;  // fastest runs
    double FastRemove, FastRemoveFloor;
};

double Fastest(const std::vector<double>& Values)
{
    return *std::min_element(Values.begin(), Values.end());
}

void PrintSummaries(const std::vector<Row>& Rows)
{
    printf("\nFastest of N (less disturbed by other load on the machine)\n");
    printf("%-8s %10s %10s %6s %10s %10s %6s\n", "size", "register", "floor", "ratio", "remove",
           "floor", "ratio");
    for (const Row& Each : Rows) {
        printf("%-8s %7.2f ms %7.2f ms %6.2f %7.2f ms %7.2f ms %6.2f\n",
               bench::SizeLabel(Each.Size).c_str(), Each.FastRegister * 1e3,
               Each.FastRegisterFloor * 1e3, Each.FastRegister / Each.FastRegisterFloor,
               Each.FastRemove * 1e3, Each.FastRemoveFloor * 1e3,
               Each.FastRemove / Each.FastRemoveFloor);
    }
    // How the cost of a registration per byte varies from 1 MB up, for the program and the floor
    // alike: as measured, and net of a run's fixed costs (process start, flush latency), taken as
    // the time of the smallest size when that is below 1 MB.
    bool HaveFixed = !Rows.empty() && Rows.front().Size < (1u << 20);
    double Fixed[2] = {HaveFixed ? Rows.front().Register : 0,
                       HaveFixed ? Rows.front().RegisterFloor : 0};
    double Low[2][2] = {{1e300, 1e300}, {1e300, 1e300}};  // [net][program, floor]
    double High[2][2] = {{0, 0}, {0, 0}};
    int Counted = 0;
    for (const Row& Each : Rows) {
        if (Each.Size < (1u << 20)) continue;
        double Time[2] = {Each.Register, Each.RegisterFloor};
        for (int Net = 0; Net < 2; Net++) {
            for (int Which = 0; Which < 2; Which++) {
                double PerByte = (Time[Which] - (Net ? Fixed[Which] : 0)) / (double)Each.Size;
                Low[Net][Which] = std::min(Low[Net][Which], PerByte);
                High[Net][Which] = std::max(High[Net][Which], PerByte);
            }
        }
        Counted++;
    }
    if (Counted >= 2) {
        printf("\nRegistration cost per byte, 1 MB and up (medians): varies %.2fx (floor: %.2fx)\n",
               High[0][0] / Low[0][0], High[0][1] / Low[0][1]);
        if (HaveFixed) {
            printf("The same net of the %s run's time (%.2f / %.2f ms): varies %.2fx (floor: "
                   "%.2fx)\n",
                   bench::SizeLabel(Rows.front().Size).c_str(), Fixed[0] * 1e3, Fixed[1] * 1e3,
                   High[1][0] / Low[1][0], High[1][1] / Low[1][1]);
        }
        printf("Added cost per MB between sizes (register / floor):");
        for (size_t Index = 1; Index < Rows.size(); Index++) {
            double Megabytes = (double)(Rows[Index].Size - Rows[Index - 1].Size) / (1 << 20);
            if (Rows[Index - 1].Size < (1u << 20) || Megabytes <= 0) continue;
            printf("  %s-%s: %.2f / %.2f ms", bench::SizeLabel(Rows[Index - 1].Size).c_str(),
                   bench::SizeLabel(Rows[Index].Size).c_str(),
                   (Rows[Index].Register - Rows[Index - 1].Register) * 1e3 / Megabytes,
                   (Rows[Index].RegisterFloor - Rows[Index - 1].RegisterFloor) * 1e3 / Megabytes);
        }
        printf("\n");
    }
}

void BenchRuns(const Options& Settings)
{
    std::string Directory = fs::absolute(Settings.Scratch).string() + "/run";
    std::error_code Ignored;
    fs::remove_all(Directory, Ignored);
    fs::create_directories(Directory);
    std::string Program = Directory + "/vorkap-setup";
    fs::copy_file(Settings.Program, Program, fs::copy_options::overwrite_existing);
    std::string Ini = Directory + "/notes.ini";
    if (Ini.size() >= 250) Die("scratch path too long for the program: " + Ini);

    printf("Whole runs (median wall time of N runs, including process start; scratch %s on %s)\n",
           Directory.c_str(), FileSystemName(Directory));
    printf("%-8s %3s %10s %10s %6s %10s %10s %6s %10s %6s %9s %8s %8s %9s %8s\n", "size",
           "N", "register", "floor", "ratio", "remove", "floor", "ratio", "reg.fresh", "ratio",
           "ms/MB", "peak MB", "floor MB", "limit MB", "peak/sz");

    std::vector<Row> Rows;
    for (size_t Size : Settings.Sizes) {
        std::string Original = bench::GenerateNotesFile(Size).Content;
        std::string Registered;
        if (profile::Edit(Original, "Notes", "VIEWEXP10", kEntry, Registered) !=
            profile::EditResult::Changed) {
            Die("cannot prepare the registered file");
        }
        const Case Cases[] = {{"register", {"/I"}, &Original, &Registered},
                              {"remove", {"/I", "/U"}, &Registered, &Original}};
        int Reps = Settings.Reps ? Settings.Reps : DefaultReps(Size);
        std::vector<double> Times[2], Floors[2], Fresh;
        long PeakKb = 0;
        long FloorPeakKb = 0;

        for (int Rep = 0; Rep < Reps; Rep++) {
            for (int Which = 0; Which < 2; Which++) {
                const Case& Current = Cases[Which];
                std::vector<std::string> Arguments = {Program};
                Arguments.insert(Arguments.end(), Current.Arguments.begin(),
                                 Current.Arguments.end());

                Restore(Directory, Ini, *Current.Before);
                WaitPastClockTick(Ini);
                Measure Run = RunChild(Arguments);
                if (ReadWhole(Ini) != *Current.After) {
                    Die(std::string(Current.Name) + " left unexpected bytes at " +
                        bench::SizeLabel(Size));
                }
                Times[Which].push_back(Run.Seconds);
                PeakKb = std::max(PeakKb, Run.PeakKb);

                Change Edit = Difference(*Current.Before, *Current.After);
                Restore(Directory, Ini, *Current.Before);
                WaitPastClockTick(Ini);
                Measure Floor = RunChild({VORKAP_FLOOR_BINARY, Ini, std::to_string(Edit.Offset),
                                          std::to_string(Edit.Remove), Edit.Insert});
                if (ReadWhole(Ini) != *Current.After) Die("the floor left unexpected bytes");
                Floors[Which].push_back(Floor.Seconds);
                FloorPeakKb = std::max(FloorPeakKb, Floor.PeakKb);
            }
            if (Settings.Fresh) {
                // The same registration on a file written a moment before: its times are set to
                // the present right before the run, since writing a large file takes longer than
                // a clock tick.
                Restore(Directory, Ini, Original);
                struct timespec Present[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
                if (utimensat(AT_FDCWD, Ini.c_str(), Present, 0) != 0) Die("cannot stamp " + Ini);
                Measure Run = RunChild({Program, "/I"});
                if (ReadWhole(Ini) != Registered) Die("fresh registration left unexpected bytes");
                Fresh.push_back(Run.Seconds);
                PeakKb = std::max(PeakKb, Run.PeakKb);
            }
        }

        double Register = Median(Times[0]);
        double RegisterFloor = Median(Floors[0]);
        double Remove = Median(Times[1]);
        double RemoveFloor = Median(Floors[1]);
        double SizeMb = (double)Original.size() / (1 << 20);
        double PeakMb = (double)PeakKb / 1024;
        char FreshText[2][16] = {"-", "-"};
        if (!Fresh.empty()) {
            snprintf(FreshText[0], sizeof FreshText[0], "%.2f ms", Median(Fresh) * 1e3);
            snprintf(FreshText[1], sizeof FreshText[1], "%.2f", Median(Fresh) / RegisterFloor);
        }
        printf("%-8s %3d %7.2f ms %7.2f ms %6.2f %7.2f ms %7.2f ms %6.2f %10s %6s %9.2f %8.1f "
               "%8.1f %9.1f %8.2f\n",
               bench::SizeLabel(Size).c_str(), Reps, Register * 1e3, RegisterFloor * 1e3,
               Register / RegisterFloor, Remove * 1e3, RemoveFloor * 1e3, Remove / RemoveFloor,
               FreshText[0], FreshText[1], Register * 1e3 / SizeMb, PeakMb,
               (double)FloorPeakKb / 1024, 3 * SizeMb + 8, PeakMb / SizeMb);
        fflush(stdout);
        Rows.push_back({Size, Register, RegisterFloor, Fastest(Times[0]),
                        Fastest(Floors[0]), Fastest(Times[1]), Fastest(Floors[1])});
    }
    fs::remove_all(Directory, Ignored);
    PrintSummaries(Rows);
    printf("\n");
}

}  // namespace

int main(int argc, char** argv)
{
    Options Settings;
    if (!ParseOptions(argc, argv, Settings)) {
        fprintf(stderr,
                "usage: vorkap_bench [--sizes=10K,1M,10M,100M] [--reps=N] [--scratch=DIR] "
                "[--program=PATH] "
                "[--no-engine] [--no-runs] [--no-fresh]\n");
        return 2;
    }
    if (Settings.Runs) StartLauncher();
    if (Settings.Engine) BenchEngine(Settings.Sizes);
    if (Settings.Runs) BenchRuns(Settings);
    return 0;
}
