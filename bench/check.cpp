// What the check of another writer's write costs, on bytes in memory: the whole-file check beside
// the older per-section check of the first sections, in files of one section and of a thousand.
//
//   vorkap_bench_check [--sizes=10K,100K,1M,2M]
//
// set: a registration's new key in "Notes", the middle section; delete: its first key. Each
// check is of the engine's own edit with a blank line added at the end, as a writer that rewrites
// the whole file leaves bytes of its own, which it must take after a full pass; "set, exact" is
// of the engine's own bytes, which the check takes after one comparison. The time is the
// fastest call's.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/content.h"
#include "profile/profile.h"
#include "profile/rules-model.h"

namespace {

volatile bool Sink;

// The seconds of the fastest of five checks at least (a fifth of a second at least) of Before
// against After by Check, which must take it. The fastest, as other work on the machine only
// ever adds to a call's time.
template <typename Check>
double TimeCheck(Check Checker, const std::string& Before, const std::string& After,
                 const char* Key, const char* Value)
{
    if (!Checker(Before, After, "Notes", Key, Value, 1252))
        bench::Die("the check refuses the edit");
    double Fastest = 1e9, Start = bench::Now();
    for (int Calls = 0; Calls < 5 || bench::Now() - Start < 0.2; Calls++) {
        double Begin = bench::Now();
        Sink = Checker(Before, After, "Notes", Key, Value, 1252);
        Fastest = std::min(Fastest, bench::Now() - Begin);
    }
    return Fastest;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<size_t> Sizes = {10 << 10, 100 << 10, 1 << 20, 2 << 20};
    int Reps;
    bench::ParseOptions(argc, argv, "vorkap_bench_check [--sizes=10K,100K,1M,2M]", Sizes, Reps);
    printf("%-8s %8s %12s %12s %12s %12s %8s %12s\n", "size", "sections", "set before",
           "set now", "delete before", "delete now", "ns/B now", "set, exact");
    for (size_t Size : Sizes) {
        for (size_t Sections : {1, 1000}) {
            std::string First, Set, Deleted;
            std::string Before = bench::GenerateSections(Size, Sections, First);
            if (profile::Edit(Before, "Notes", "VIEWEXP10", bench::kEntry, 1252, Set) !=
                    profile::EditResult::Changed ||
                profile::Edit(Before, "Notes", First, nullptr, 1252, Deleted) !=
                    profile::EditResult::Changed) {
                bench::Die("the edits change nothing");
            }
            std::string Exact = Set;
            Set += "\r\n";
            Deleted += "\r\n";
            double Times[5] = {
                TimeCheck(model::PerSectionReadsAsWritten, Before, Set, "VIEWEXP10", bench::kEntry),
                TimeCheck(profile::ReadsAsWritten, Before, Set, "VIEWEXP10", bench::kEntry),
                TimeCheck(model::PerSectionReadsAsWritten, Before, Deleted, First.c_str(), nullptr),
                TimeCheck(profile::ReadsAsWritten, Before, Deleted, First.c_str(), nullptr),
                TimeCheck(profile::ReadsAsWritten, Before, Exact, "VIEWEXP10", bench::kEntry)};
            printf("%-8s %8zu %9.3f ms %9.3f ms %10.3f ms %9.3f ms %8.2f %9.3f ms\n",
                   bench::SizeLabel(Size).c_str(), Sections, Times[0] * 1e3, Times[1] * 1e3,
                   Times[2] * 1e3, Times[3] * 1e3, Times[1] * 1e9 / (double)Before.size(),
                   Times[4] * 1e3);
            fflush(stdout);
        }
    }
    return 0;
}
