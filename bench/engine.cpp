// What the profile engine costs per byte of the file, on bytes in memory.
//
//   vorkap_bench_engine [--sizes=10K,1M,10M,100M]
//
// lookup: one key near the end of "Notes"; 27 scans: VIEWEXP5..31 read one by one, each read
// making its own pass over the section, as for a file not kept; 27 lookups: the same through a SectionLookup built first, as the file
// layer does for a file it keeps; plan: where a registration's new line goes, found through that
// lookup as the file layer does; ns/B: the 27 lookups and the plan, per byte of the file.
#include <cstdio>
#include <string>
#include <vector>

#include "bench/content.h"
#include "profile/rules.h"

namespace {

volatile size_t Sink;

void ReadSlots(std::string_view Content)
{
    char Buffer[256];
    for (int Slot = 5; Slot <= 31; Slot++) {
        std::string Key = "VIEWEXP" + std::to_string(Slot);
        Sink = profile::ReadString(Content, "Notes", Key, "", Buffer, sizeof Buffer, 1252);
    }
}

void ReadSlotsThroughLookup(std::string_view Content)
{
    char Buffer[256];
    profile::SectionLookup Lookup(Content, "Notes", 1252);
    for (int Slot = 5; Slot <= 31; Slot++) {
        std::string Key = "VIEWEXP" + std::to_string(Slot);
        Sink = profile::CopyResult(Lookup.FindValue(Key), "", Buffer, sizeof Buffer, 1252);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<size_t> Sizes;
    int Reps;
    bench::ParseOptions(argc, argv, "vorkap_bench_engine [--sizes=10K,1M,10M,100M]",
                        Sizes, Reps);
    printf("%-8s %12s %12s %12s %12s %8s\n", "size", "lookup", "27 scans", "27 lookups", "plan",
           "ns/B");
    for (size_t Size : Sizes) {
        bench::NotesFile File = bench::GenerateNotesFile(Size);
        const std::string& Content = File.Content;
        if (!profile::FindValue(Content, "Notes", File.NearEndKey, 1252)) {
            bench::Die("generated file lacks " + File.NearEndKey);
        }
        double Lookup = bench::TimeEach(
            [&] { Sink = profile::FindValue(Content, "Notes", File.NearEndKey, 1252)->size(); });
        double Scans = bench::TimeEach([&] { ReadSlots(Content); });
        double Indexed = bench::TimeEach([&] { ReadSlotsThroughLookup(Content); });
        profile::EditPlan Plan;
        profile::SectionLookup Notes(Content, "Notes", 1252);
        double Planned = bench::TimeEach([&] {
            if (profile::PlanEdit(Content, "Notes", "VIEWEXP10", bench::kEntry, 1252, Plan,
                                  &Notes) != profile::EditResult::Changed) {
                bench::Die("the registration changes nothing");
            }
        });
        printf("%-8s %9.3f ms %9.3f ms %9.3f ms %9.3f ms %8.3f\n",
               bench::SizeLabel(Size).c_str(), Lookup * 1e3, Scans * 1e3, Indexed * 1e3,
               Planned * 1e3, (Indexed + Planned) * 1e9 / (double)Content.size());
        fflush(stdout);
    }
    return 0;
}
