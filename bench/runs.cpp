// What a whole run of the setup program costs beside the floor: a minimal program that reads the
// file once and replaces it crash-safely with one line changed (floor.cpp).
//
//   vorkap_bench_runs [--sizes=10K,1M,10M,100M] [--reps=N] [--fresh]
//
// A registration and a removal run in turn with the floor, each on the same generated notes.ini,
// put in place (written, flushed, renamed, file system synced: not timed) before every run, and
// left to settle for two seconds, as a notes.ini written long before setup runs: the program
// trusts its copy of a file only when the file's times lie two seconds in the past. Runs of the
// program are prepared in batches, each in a directory of its own, that settle together. With
// --fresh they do not settle: each run finds a file changed a moment ago, which the write reads
// again instead of taking over the lookups' copy.
// Times are medians of wall time from fork to wait, process start included. Each run's result
// is compared with the expected bytes. Peak memory is the largest ru_maxrss of the program's runs;
// "allowed" is twice the file plus 8 MB. The scratch directory is build/bench/scratch, on the
// repository's file system, so that the flushes are real.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/content.h"
#include "profile/profile.h"

namespace {

namespace fs = std::filesystem;

struct Measure {
    double Seconds;
    long PeakKb;
};

// Runs a program with its output sent to /dev/null. It is forked from a process that holds no
// large buffer then, so that its peak memory is its own.
Measure RunChild(const std::vector<std::string>& Arguments)
{
    std::vector<char*> Argv;
    for (const std::string& Each : Arguments) Argv.push_back(const_cast<char*>(Each.c_str()));
    Argv.push_back(nullptr);
    double Start = bench::Now();
    pid_t Child = fork();
    if (Child == 0) {
        int Null = open("/dev/null", O_RDWR);
        dup2(Null, 0), dup2(Null, 1), dup2(Null, 2);
        execv(Argv[0], Argv.data());
        _exit(127);
    }
    int Status = 0;
    struct rusage Usage;
    if (Child < 0 || wait4(Child, &Status, 0, &Usage) != Child) bench::Die("cannot run a child");
    if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0) bench::Die(Arguments[0] + " failed");
    return {bench::Now() - Start, Usage.ru_maxrss};
}

void WriteFile(const std::string& Path, std::string_view Content)
{
    int Fd = open(Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool Done = Fd >= 0 && write(Fd, Content.data(), Content.size()) == (ssize_t)Content.size() &&
                fsync(Fd) == 0;
    if (Fd < 0 || close(Fd) != 0 || !Done) bench::Die("cannot write " + Path);
}

// Puts a copy of Source in place at Path as a crash-safe replacement would, then syncs the file
// system: nothing of an earlier run is left for the timed run to pay. Then waits until the file's
// times lie before the coarse clock that the file system stamps files with.
void Restore(const std::string& Source, const std::string& Path)
{
    std::string Temporary = Path + ".restore";
    fs::copy_file(Source, Temporary, fs::copy_options::overwrite_existing);
    int Fd = open(Temporary.c_str(), O_RDONLY | O_CLOEXEC);
    if (Fd < 0 || fsync(Fd) != 0 || close(Fd) != 0) bench::Die("cannot flush " + Temporary);
    fs::rename(Temporary, Path);
    sync();
    struct stat Status;
    struct timespec Clock;
    do {
        usleep(1000);
        clock_gettime(CLOCK_REALTIME_COARSE, &Clock);
        if (stat(Path.c_str(), &Status) != 0) bench::Die("cannot stat " + Path);
    } while (Status.st_ctim.tv_sec > Clock.tv_sec ||
             (Status.st_ctim.tv_sec == Clock.tv_sec && Status.st_ctim.tv_nsec >= Clock.tv_nsec));
}

bool SameBytes(const std::string& A, const std::string& B)
{
    std::ifstream X(A, std::ios::binary);
    std::ifstream Y(B, std::ios::binary);
    using Bytes = std::istreambuf_iterator<char>;
    return fs::file_size(A) == fs::file_size(B) && std::equal(Bytes(X), Bytes(), Bytes(Y));
}

// The one change between two contents, as the floor's arguments: offset, bytes removed, insert.
std::vector<std::string> FloorEdit(const std::string& From, const std::string& To)
{
    size_t Head = 0;
    while (Head < From.size() && Head < To.size() && From[Head] == To[Head]) Head++;
    size_t Tail = 0;
    while (Tail < From.size() - Head && Tail < To.size() - Head &&
           From[From.size() - 1 - Tail] == To[To.size() - 1 - Tail]) {
        Tail++;
    }
    return {std::to_string(Head), std::to_string(From.size() - Head - Tail),
            To.substr(Head, To.size() - Head - Tail)};
}

// Waits until the times of the notes.ini in every place lie two seconds before the coarse clock,
// by which the program judges them.
void Settle(const std::vector<std::string>& Places)
{
    struct timespec Latest = {0, 0};
    for (const std::string& Place : Places) {
        struct stat Status;
        if (stat((Place + "/notes.ini").c_str(), &Status) != 0) bench::Die("cannot stat " + Place);
        for (const struct timespec& Time : {Status.st_ctim, Status.st_mtim}) {
            if (std::make_pair(Time.tv_sec, Time.tv_nsec) >
                std::make_pair(Latest.tv_sec, Latest.tv_nsec)) {
                Latest = Time;
            }
        }
    }
    struct timespec Clock;
    do {
        usleep(10000);
        clock_gettime(CLOCK_REALTIME_COARSE, &Clock);
    } while (std::make_pair(Clock.tv_sec - 2, Clock.tv_nsec) <
             std::make_pair(Latest.tv_sec, Latest.tv_nsec));
}

struct Case {
    std::vector<std::string> Program;  // the setup program's run
    std::vector<std::string> Floor;    // the floor's run of the same change
    std::string Before;                // the file it starts from
    std::string After;                 // the file it must leave
    std::vector<double> Times, Floors;
};

}  // namespace

int main(int argc, char** argv)
{
    std::vector<size_t> Sizes;
    int Reps;
    bool Fresh = argc > 1 && strcmp(argv[argc - 1], "--fresh") == 0;
    bench::ParseOptions(argc - Fresh, argv,
                        "vorkap_bench_runs [--sizes=10K,1M,10M,100M] [--reps=N] [--fresh]", Sizes,
                        Reps);
    std::string Directory = fs::absolute(VORKAP_BENCH_SCRATCH).string() + "/run";
    fs::remove_all(Directory);
    fs::create_directories(Directory);
    std::string Program = Directory + "/vorkap-setup";
    fs::copy_file(VORKAP_SETUP_BINARY, Program);
    std::string Ini = Directory + "/notes.ini";

    printf("%-8s %3s %10s %10s %6s %10s %10s %6s %8s %8s\n", "size", "N", "register", "floor",
           "ratio", "remove", "floor", "ratio", "peak MB", "allowed");
    for (size_t Size : Sizes) {
        std::string Original = bench::GenerateNotesFile(Size).Content;
        std::string Registered;
        if (profile::Edit(Original, "Notes", "VIEWEXP10", bench::kEntry, 1252, Registered) !=
            profile::EditResult::Changed) {
            bench::Die("the registration changes nothing");
        }
        std::string Files[2] = {Directory + "/original", Directory + "/registered"};
        WriteFile(Files[0], Original);
        WriteFile(Files[1], Registered);
        std::vector<std::string> Edits[2] = {FloorEdit(Original, Registered),
                                             FloorEdit(Registered, Original)};
        double SizeMb = (double)Original.size() / (1 << 20);
        std::string().swap(Original);  // no large buffer is held while children are forked
        std::string().swap(Registered);

        Case Cases[2] = {{{Program, "/I"}, {VORKAP_FLOOR_BINARY, Ini}, Files[0], Files[1], {}, {}},
                         {{Program, "/I", "/U"}, {VORKAP_FLOOR_BINARY, Ini}, Files[1], Files[0],
                          {}, {}}};
        long PeakKb = 0;
        int Count = Reps ? Reps : Size <= (1 << 20) ? 41 : Size <= (10 << 20) ? 11 : 3;
        // A batch holds at most 64 MB of prepared files (and always one repetition).
        int Batch = (int)std::clamp<size_t>((64 << 20) / (2 * Size), 1, (size_t)Count);
        for (int First = 0; First < Count; First += Batch) {
            // A directory for each run of the program: a hard link of it beside its notes.ini.
            std::vector<std::string> Places;
            for (int Rep = First; Rep < std::min(First + Batch, Count); Rep++) {
                for (int Which = 0; Which < 2; Which++) {
                    Places.push_back(Directory + "/" + std::to_string(Rep) + "-" +
                                     std::to_string(Which));
                    fs::create_directory(Places.back());
                    fs::create_hard_link(Program, Places.back() + "/vorkap-setup");
                    if (!Fresh) Restore(Cases[Which].Before, Places.back() + "/notes.ini");
                }
            }
            if (!Fresh) Settle(Places);
            for (size_t Index = 0; Index < Places.size(); Index++) {
                Case& Current = Cases[Index % 2];
                std::string Place = Places[Index];
                if (Fresh) Restore(Current.Before, Place + "/notes.ini");
                std::vector<std::string> Run = Current.Program;
                Run[0] = Place + "/vorkap-setup";
                Measure Took = RunChild(Run);
                if (!SameBytes(Place + "/notes.ini", Current.After)) {
                    bench::Die("a run left unexpected bytes");
                }
                Current.Times.push_back(Took.Seconds);
                PeakKb = std::max(PeakKb, Took.PeakKb);

                Restore(Current.Before, Ini);
                std::vector<std::string> Floor = Current.Floor;
                Floor.insert(Floor.end(), Edits[Index % 2].begin(), Edits[Index % 2].end());
                Current.Floors.push_back(RunChild(Floor).Seconds);
                if (!SameBytes(Ini, Current.After)) bench::Die("the floor left unexpected bytes");
            }
            for (const std::string& Place : Places) fs::remove_all(Place);
        }
        double Times[4] = {bench::Median(Cases[0].Times), bench::Median(Cases[0].Floors),
                           bench::Median(Cases[1].Times), bench::Median(Cases[1].Floors)};
        printf("%-8s %3d %7.2f ms %7.2f ms %6.2f %7.2f ms %7.2f ms %6.2f %8.1f %8.1f\n",
               bench::SizeLabel(Size).c_str(), Count, Times[0] * 1e3, Times[1] * 1e3,
               Times[0] / Times[1], Times[2] * 1e3, Times[3] * 1e3, Times[2] / Times[3],
               (double)PeakKb / 1024, 2 * SizeMb + 8);
        fflush(stdout);
    }
    fs::remove_all(Directory);
    return 0;
}
