// The differential test of the profile engine: generated files and operations go through the
// native engine and through Windows' profile API under Wine (both as vorkap_diff_oracle), and
// every read must give the same bytes and the same count, in code page 932 and in a single-byte
// code page. A disagreement is reduced to a small reproducer and printed.
//
// Usage: vorkap_diff_driver --native=ORACLE --windows=ORACLE.exe --loader=WINE --work=DIR
//                           [--seed=N|random] [--cases=N] [--mode=cp932|single-byte]
// VORKAP_DIFF_SEED and VORKAP_DIFF_CASES set the seed and the number of cases per mode when no
// option does. Wine's prefix comes from the environment (WINEPREFIX). The loader runs the
// Windows oracle as "LOADER ORACLE.exe BATCH OUTPUT"; with --loader=env and the native oracle
// in its place, the driver checks itself against the engine.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/differential/cases.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using diff::Case;
using diff::Op;

// The answers of one oracle run: per case, one line per operation.
using Answers = std::vector<std::vector<std::string>>;

struct Mode {
    const char* Name;
    diff::Charset Set;
    const char* NativeLocale;  // LC_ALL of the native oracle
    const char* WineLocale;    // "LC_ALL=..." or "LANG=...": Wine's ANSI code page follows it
};

const Mode kModes[] = {
    {"cp932", diff::Charset::CodePage932, "LC_ALL=ja_JP.SJIS", "LC_ALL=ja_JP.UTF-8"},
    {"single-byte", diff::Charset::SingleByte, "LC_ALL=C.UTF-8", "LANG=C.UTF-8"},
};

struct Options {
    std::string Native, Windows, Loader, Work, OnlyMode;
    uint64_t Seed = 20261209;
    size_t Cases = 5000;
};

const size_t kBatchSize = 1500;
const size_t kShrinkCandidates = 1500;
const size_t kReproducersPerMode = 4;
const int kShrinkSecondsPerCase = 60;

[[noreturn]] void Fail(const std::string& Why)
{
    fprintf(stderr, "FAIL: %s\n", Why.c_str());
    exit(2);
}

// The environment of a child: ours without locale settings, plus Setting.
std::vector<std::string> ChildEnvironment(const char* Setting)
{
    std::vector<std::string> Result;
    for (char** Each = environ; *Each; ++Each) {
        std::string Entry = *Each;
        if (Entry.rfind("LC_", 0) != 0 && Entry.rfind("LANG=", 0) != 0 &&
            Entry.rfind("LANGUAGE=", 0) != 0)
            Result.push_back(Entry);
    }
    Result.push_back(Setting);
    return Result;
}

// Runs Argv in Dir with Env, output to Dir/stdout and Dir/stderr; returns the exit status.
int Run(const std::vector<std::string>& Argv, const std::vector<std::string>& Env,
        const fs::path& Dir)
{
    pid_t Child = fork();
    if (Child < 0) Fail("fork: " + std::string(strerror(errno)));
    if (Child == 0) {
        std::vector<char*> Args, Vars;
        for (const std::string& Arg : Argv) Args.push_back(const_cast<char*>(Arg.c_str()));
        for (const std::string& Var : Env) Vars.push_back(const_cast<char*>(Var.c_str()));
        Args.push_back(nullptr);
        Vars.push_back(nullptr);
        int Out = open((Dir / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int Err = open((Dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int In = open("/dev/null", O_RDONLY);
        if (chdir(Dir.c_str()) != 0 || Out < 0 || Err < 0 || In < 0) _exit(127);
        dup2(In, 0), dup2(Out, 1), dup2(Err, 2);
        environ = Vars.data();
        execvp(Args[0], Args.data());
        _exit(127);
    }
    int Status = 0;
    while (waitpid(Child, &Status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
}

std::string ReadText(const fs::path& Path)
{
    std::ifstream In(Path, std::ios::binary);
    std::stringstream Buffer;
    Buffer << In.rdbuf();
    return Buffer.str();
}

Answers ParseAnswers(const std::string& Text, size_t CaseCount)
{
    Answers Result(CaseCount);
    std::istringstream In(Text);
    std::string Line;
    while (std::getline(In, Line)) {
        size_t Case = 0, Op = 0;
        int Used = 0;
        if (sscanf(Line.c_str(), "%zu %zu %n", &Case, &Op, &Used) < 2 || Case >= CaseCount ||
            Op != Result[Case].size())
            Fail("malformed oracle answer: " + Line);
        Result[Case].push_back(Line.substr((size_t)Used));
    }
    return Result;
}

class Tester {
public:
    Tester(const Options& TheOptions, const Mode& TheMode) : Opts(TheOptions), M(TheMode) {}

    // Runs Cases through both oracles; sets NativeAnswers and WindowsAnswers.
    void RunBoth(const std::vector<Case>& Cases)
    {
        fs::path Dir = fs::path(Opts.Work) / (std::string(M.Name) + "-" + std::to_string(Runs++));
        fs::remove_all(Dir);
        fs::create_directories(Dir / "native");
        fs::create_directories(Dir / "windows");
        std::ofstream(Dir / "batch", std::ios::binary) << diff::BatchText(Cases);
        int Native = Run({Opts.Native, "../batch", "../native.out"},
                         ChildEnvironment(M.NativeLocale), Dir / "native");
        if (Native != 0)
            Fail(std::string("the native oracle ended with status ") + std::to_string(Native) +
                 ": " + ReadText(Dir / "native" / "stderr") + " (batch kept in " + Dir.string() +
                 ")");
        int Windows = Run({"timeout", "-k", "5", "300", Opts.Loader, Opts.Windows, "../batch",
                           "../windows.out"},
                          ChildEnvironment(M.WineLocale), Dir / "windows");
        if (Windows != 0)
            Fail(std::string("the Windows oracle under Wine ended with status ") +
                 std::to_string(Windows) + ": " + ReadText(Dir / "windows" / "stderr"));
        NativeAnswers = ParseAnswers(ReadText(Dir / "native.out"), Cases.size());
        WindowsAnswers = ParseAnswers(ReadText(Dir / "windows.out"), Cases.size());
        fs::remove_all(Dir);
    }

    // The first operation of case Index whose answers differ beyond the excused places, or -1.
    long Disagreement(const Case& One, size_t Index) const
    {
        const auto& Native = NativeAnswers[Index];
        const auto& Windows = WindowsAnswers[Index];
        for (size_t I = 0; I < One.Ops.size(); ++I) {
            if (I >= Native.size() || I >= Windows.size()) return (long)I;
            if (Native[I] != Windows[I] && !Excused(One, I, Native[I], Windows[I]))
                return (long)I;
        }
        return -1;
    }

    std::string Describe(const Case& One, size_t Index, long Op) const
    {
        std::string Text = "  file: " + diff::Quoted(One.File) + "\n";
        for (size_t I = 0; I < One.Ops.size(); ++I) {
            const diff::Op& Each = One.Ops[I];
            Text += std::string(I == (size_t)Op ? "  > " : "    ") + Each.Kind + " [" +
                    diff::Quoted(Each.Section) + "] " + diff::Quoted(Each.Key);
            if (Each.Kind == 'S') Text += " = " + diff::Quoted(Each.Value);
            Text += "\n";
        }
        auto Answer = [&](const Answers& All) {
            return (size_t)Op < All[Index].size() ? Readable(All[Index][(size_t)Op])
                                                  : std::string("(no answer)");
        };
        Text += "  native:  " + Answer(NativeAnswers) + "\n";
        Text += "  Windows: " + Answer(WindowsAnswers) + "\n";
        return Text;
    }

    // Drops what does not matter from a disagreeing case, one batch of candidates per round.
    Case Shrink(Case Smallest, std::chrono::steady_clock::time_point Deadline)
    {
        for (int Round = 0; std::chrono::steady_clock::now() < Deadline; ++Round) {
            std::vector<Case> Candidates = diff::Reductions(Smallest, M.Set);
            if (Candidates.size() > kShrinkCandidates) Candidates.resize(kShrinkCandidates);
            if (Candidates.empty()) break;
            RunBoth(Candidates);
            size_t Best = Candidates.size();
            for (size_t I = 0; I < Candidates.size(); ++I) {
                if (Disagreement(Candidates[I], I) >= 0 &&
                    (Best == Candidates.size() || Size(Candidates[I]) < Size(Candidates[Best])))
                    Best = I;
            }
            if (Best == Candidates.size()) break;
            Smallest = Candidates[Best];
        }
        RunBoth({Smallest});
        return Smallest;
    }

    // A rough kind of a disagreement, so that the reproducers show different ones: a write's
    // result, a value cut by the buffer, a value only one side finds, or a different value.
    std::string KindOf(size_t Index, size_t Op) const
    {
        const std::string& Native = NativeAnswers[Index][Op];
        const std::string& Windows = WindowsAnswers[Index][Op];
        if (Native[0] == 'W') return "write";
        if (Native.rfind("R 255 ", 0) == 0 && Windows.rfind("R 255 ", 0) == 0) return "cut";
        if (Native == "R 0 -" || Windows == "R 0 -") return "found by one side";
        return "different value";
    }

    Answers NativeAnswers, WindowsAnswers;

private:
    static size_t Size(const Case& One)
    {
        size_t Total = One.File.size() + 4 * One.Ops.size();
        for (const Op& Each : One.Ops) Total += Each.Section.size() + Each.Key.size() + Each.Value.size();
        return Total;
    }

    // An answer line as a person reads it: the count and the bytes of the buffer.
    static std::string Readable(const std::string& Answer)
    {
        char Kind = 0;
        unsigned long Count = 0;
        char Hex[600] = "";
        if (sscanf(Answer.c_str(), "%c %lu %599s", &Kind, &Count, Hex) < 2) return Answer;
        if (Kind == 'W')
            return "write returned " + std::to_string(Count) + ", check " +
                   (Answer.size() > 4 ? Answer.substr(4) : "?");
        std::string Bytes;
        for (size_t I = 0; Hex[0] != '-' && Hex[I] && Hex[I + 1]; I += 2)
            Bytes.push_back((char)std::stoi(std::string(Hex + I, 2), nullptr, 16));
        return "returned " + std::to_string(Count) + ", buffer " + diff::Quoted(Bytes);
    }

    // The 2-byte characters of the mode's charset are one character each, like Windows' reading.
    size_t CharWidth(const std::string& Text, size_t Index) const
    {
        bool Pair = M.Set == diff::Charset::CodePage932 && Index + 1 < Text.size() &&
                    diff::IsDoubleByte((unsigned char)Text[Index], (unsigned char)Text[Index + 1]);
        return Pair ? 2 : 1;
    }

    // True when the file holds a line that Wine's rewrite does not give back: a header whose
    // name is empty (Wine writes no header for section "", so its lines join the section before
    // it), or a name or value whose bytes before a NUL end in a blank (Wine writes it up to the
    // NUL, so the blank ends the line and is trimmed when the file is read again).
    bool LostInWinesRewrite(const std::string& File) const
    {
        const char* kBlank = "\t\n\v\f\r\x1a ";
        for (size_t At = File.find('\0'); At != std::string::npos; At = File.find('\0', At + 1))
            if (At > 0 && strchr("\t\v\f\x1a ", File[At - 1])) return true;
        for (size_t Start = 0; Start < File.size();) {
            size_t End = std::min(File.find_first_of("\r\n", Start), File.size());
            std::string Line = File.substr(Start, End - Start);
            Start = End + 1;
            size_t First = Line.find_first_not_of(kBlank);
            if (First == std::string::npos || Line[First] != '[') continue;
            size_t Close = std::string::npos;
            for (size_t I = First; I < Line.size(); I += CharWidth(Line, I))
                if (Line[I] == ']') Close = I;
            if (Close == std::string::npos || Close == First) continue;
            std::string Name = Line.substr(First + 1, Close - First - 1);
            Name = Name.substr(0, Name.find_last_not_of(kBlank) + 1);
            size_t NameStart = Name.find_first_not_of(kBlank);
            if (NameStart == std::string::npos || Name[NameStart] == '\0') return true;
        }
        return false;
    }

    static bool HasLineStartingWithNul(const std::string& File)
    {
        for (size_t At = File.find('\0'); At != std::string::npos; At = File.find('\0', At + 1)) {
            size_t Before = At;
            while (Before > 0 && strchr("\t\v\f\x1a ", File[Before - 1])) --Before;
            if (Before == 0 || File[Before - 1] == '\r' || File[Before - 1] == '\n') return true;
        }
        return false;
    }

    // Where Wine is known not to answer as Windows does. Nothing else is excused.
    bool Excused(const Case& One, size_t Index, const std::string& Native,
                 const std::string& Windows) const
    {
        const Op& Read = One.Ops[Index];
        if (Read.Kind != 'R') {
            // Both writes answer alike, and the check refuses Wine's where Wine's rewrite changes
            // lines that it compares or reads a name otherwise: a file it decodes as UTF-8 (a
            // byte-order mark), a line that starts with a NUL, which Wine takes for a key "" and
            // drops lines after it, and a name cut by a NUL after a blank, whose blank Wine keeps
            // when it looks a section up, so that it adds a second one.
            bool Rewritten = One.File.rfind("\xEF\xBB\xBF", 0) == 0 ||
                             HasLineStartingWithNul(One.File) || LostInWinesRewrite(One.File);
            return Rewritten && Native.compare(0, 3, Windows, 0, 3) == 0 &&
                   Windows.substr(3) == " 0";
        }
        // Wine decodes a file that starts with a UTF-8 byte-order mark as UTF-8; the engine
        // reads the bytes after the mark in the ANSI code page, like any other file.
        if (One.File.rfind("\xEF\xBB\xBF", 0) == 0) return true;
        // Wine writes the whole file back from what it parsed, where Windows keeps the lines a
        // write does not touch; reads after a write see Wine's rewrite.
        bool Written = std::any_of(One.Ops.begin(), One.Ops.begin() + (long)Index,
                                   [](const Op& Each) { return Each.Kind != 'R'; });
        if (Written && LostInWinesRewrite(One.File)) return true;
        // Wine takes a line that starts with a NUL and has no '=' for a key named "" without a
        // value, and drops the lines named "" after it. Windows' answer for the key "" is not
        // documented, and the program never asks for it.
        if (Read.Key.find_first_not_of("\t\n\v\f\r\x1a ") == std::string::npos &&
            HasLineStartingWithNul(One.File))
            return true;
        // Windows reads section "" from the header "[]"; Wine from the lines before the first
        // header.
        if (Read.Section.find_first_not_of("\t\n\v\f\r\x1a ") == std::string::npos) return true;
        // A quoted value of 255 bytes fills the 256-byte buffer on Windows; Wine drops its
        // last byte.
        unsigned long NativeCount = 0, WindowsCount = 0;
        char NativeHex[600] = "", WindowsHex[600] = "";
        if (sscanf(Native.c_str(), "R %lu %599s", &NativeCount, NativeHex) != 2 ||
            sscanf(Windows.c_str(), "R %lu %599s", &WindowsCount, WindowsHex) != 2)
            return false;
        std::string Full = NativeHex, Cut = WindowsHex;
        if (NativeCount != 255 || WindowsCount != 254 || Full.size() != 510 ||
            Full.compare(0, 508, Cut) != 0 || Cut.size() != 508)
            return false;
        std::string Value;
        for (size_t I = 0; I < Full.size(); I += 2)
            Value.push_back((char)std::stoi(Full.substr(I, 2), nullptr, 16));
        auto Holds = [&](const std::string& Text) {
            return Text.find('"' + Value + '"') != std::string::npos ||
                   Text.find('\'' + Value + '\'') != std::string::npos;
        };
        if (Holds(One.File)) return true;
        for (const Op& Each : One.Ops)
            if (Holds(Each.Value)) return true;
        return false;
    }

    const Options& Opts;
    const Mode& M;
    int Runs = 0;
};

// Runs one mode: all its cases, then reduces the first disagreements. Returns how many cases
// disagreed.
size_t RunMode(const Options& Opts, const Mode& M)
{
    printf("== %s: %zu cases, seed %llu\n", M.Name, Opts.Cases, (unsigned long long)Opts.Seed);
    diff::Generator Generate(Opts.Seed ^ (uint64_t)M.Set, M.Set);
    Tester Test(Opts, M);
    std::vector<Case> Failing;
    std::vector<std::string> Kinds;
    size_t Disagreeing = 0;
    for (size_t Done = 0; Done < Opts.Cases; Done += kBatchSize) {
        std::vector<Case> Batch;
        for (size_t I = Done; I < Opts.Cases && I < Done + kBatchSize; ++I)
            Batch.push_back(Generate.Next());
        Test.RunBoth(Batch);
        for (size_t I = 0; I < Batch.size(); ++I) {
            long Op = Test.Disagreement(Batch[I], I);
            if (Op < 0) continue;
            ++Disagreeing;
            // One reproducer for each kind of disagreement seen.
            std::string Kind = Test.KindOf(I, (size_t)Op);
            if (Failing.size() < kReproducersPerMode &&
                std::find(Kinds.begin(), Kinds.end(), Kind) == Kinds.end()) {
                Kinds.push_back(Kind);
                Failing.push_back(Batch[I]);
            }
        }
    }
    printf("%s: %zu of %zu cases disagree\n", M.Name, Disagreeing, Opts.Cases);
    for (const Case& One : Failing) {
        Case Small = Test.Shrink(One, std::chrono::steady_clock::now() +
                                          std::chrono::seconds(kShrinkSecondsPerCase));
        long Op = Test.Disagreement(Small, 0);
        printf("%s disagreement (reduced):\n%s", M.Name, Test.Describe(Small, 0, Op).c_str());
    }
    fflush(stdout);
    return Disagreeing;
}

std::string OptionValue(const std::string& Arg, const char* Name)
{
    std::string Prefix = std::string("--") + Name + "=";
    return Arg.rfind(Prefix, 0) == 0 ? Arg.substr(Prefix.size()) : std::string();
}

uint64_t ParseSeed(const std::string& Text)
{
    if (Text == "random") return std::random_device{}() ^ ((uint64_t)std::random_device{}() << 32);
    return std::stoull(Text);
}

}  // namespace

int main(int Argc, char** Argv)
{
    Options Opts;
    if (const char* Seed = getenv("VORKAP_DIFF_SEED")) Opts.Seed = ParseSeed(Seed);
    if (const char* Cases = getenv("VORKAP_DIFF_CASES")) Opts.Cases = std::stoul(Cases);
    for (int I = 1; I < Argc; ++I) {
        std::string Arg = Argv[I], Value;
        if (!(Value = OptionValue(Arg, "native")).empty()) Opts.Native = Value;
        else if (!(Value = OptionValue(Arg, "windows")).empty()) Opts.Windows = Value;
        else if (!(Value = OptionValue(Arg, "loader")).empty()) Opts.Loader = Value;
        else if (!(Value = OptionValue(Arg, "work")).empty()) Opts.Work = Value;
        else if (!(Value = OptionValue(Arg, "mode")).empty()) Opts.OnlyMode = Value;
        else if (!(Value = OptionValue(Arg, "seed")).empty()) Opts.Seed = ParseSeed(Value);
        else if (!(Value = OptionValue(Arg, "cases")).empty()) Opts.Cases = std::stoul(Value);
        else Fail("unknown argument " + Arg);
    }
    if (Opts.Native.empty() || Opts.Windows.empty() || Opts.Loader.empty() || Opts.Work.empty())
        Fail("usage: vorkap_diff_driver --native=ORACLE --windows=ORACLE.exe --loader=WINE "
             "--work=DIR [--seed=N|random] [--cases=N] [--mode=NAME]");
    Opts.Native = fs::absolute(Opts.Native).string();
    Opts.Windows = fs::absolute(Opts.Windows).string();
    // Without the Shift_JIS locale the native side would read single bytes and prove nothing.
    if ((Opts.OnlyMode.empty() || Opts.OnlyMode == "cp932") && !setlocale(LC_CTYPE, "ja_JP.SJIS"))
        Fail("the locale ja_JP.SJIS is missing (localedef -f SHIFT_JIS -i ja_JP ja_JP.SJIS)");
    setlocale(LC_CTYPE, "C");
    printf("seed %llu (run again with VORKAP_DIFF_SEED=%llu)\n", (unsigned long long)Opts.Seed,
           (unsigned long long)Opts.Seed);
    size_t Disagreeing = 0;
    for (const Mode& M : kModes)
        if (Opts.OnlyMode.empty() || Opts.OnlyMode == M.Name) Disagreeing += RunMode(Opts, M);
    printf(Disagreeing ? "FAIL: %zu cases disagree\n" : "PASS: no disagreement\n", Disagreeing);
    return Disagreeing ? 1 : 0;
}
