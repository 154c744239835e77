// Generated notes.ini-like files for the benchmarks: many sections and keys, CR LF line ends,
// and a "Notes" section with the export slots near its end.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace bench {

struct NotesFile {
    std::string Content;
    std::string NearEndKey;  // a key that stands near the end of "Notes"
};

// A file of about Size bytes (never less than a few hundred). Roughly a third of it comes before
// "[Notes]", a third is the "Notes" section and a third follows it. VIEWEXP1 to VIEWEXP9 hold
// other export formats, close to the end of "Notes", so a registration reads all slots from 5 to
// 31 and adds VIEWEXP10. The same Size and Seed always give the same bytes.
NotesFile GenerateNotesFile(size_t Size, unsigned Seed = 1);

// A file of about Size bytes in Sections sections of equal size, of the same lines as above; the
// middle one is "Notes", whose first key is returned in FirstKey.
std::string GenerateSections(size_t Size, size_t Sections, std::string& FirstKey,
                             unsigned Seed = 1);

// "10K", "1M", "10MB", "100m", "4096": a size in bytes, or 0 when the text is not one.
size_t ParseSize(const std::string& Text);

// 10240 -> "10 KB", 1048576 -> "1 MB".
std::string SizeLabel(size_t Size);

// The registration's entry, as the program writes it.
extern const char kEntry[];

// The options of the benchmarks: --sizes=10K,1M,... (without it, Sizes as given, or 10 KB, 1 MB,
// 10 MB and 100 MB when empty) and --reps=N (0 without it: chosen per size). Prints Usage and ends
// with status 2 on anything else.
void ParseOptions(int argc, char** argv, const char* Usage, std::vector<size_t>& Sizes,
                  int& Reps);

// Seconds on the monotonic clock; the median of some times.
double Now();
double Median(std::vector<double> Values);

// Runs Body until it has taken a fifth of a second and three calls at least; answers the seconds
// of one call.
template <typename Function>
double TimeEach(Function Body)
{
    int Calls = 0;
    double Start = Now();
    while (Now() - Start < 0.2 || Calls < 3) {
        Body();
        Calls++;
    }
    return (Now() - Start) / Calls;
}

// Prints the message and ends the benchmark with status 1.
[[noreturn]] void Die(const std::string& Message);

}  // namespace bench
