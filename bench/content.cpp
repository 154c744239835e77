#include "bench/content.h"

#include <time.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace bench {
namespace {

// A small deterministic generator, so that every run of the benchmark edits the same bytes.
class Random {
public:
    explicit Random(unsigned Seed) : State_(0x9E3779B97F4A7C15ull ^ Seed) {}
    uint64_t Next()
    {
        State_ ^= State_ << 13;
        State_ ^= State_ >> 7;
        State_ ^= State_ << 17;
        return State_;
    }
    size_t Below(size_t Limit) { return (size_t)(Next() % Limit); }

private:
    uint64_t State_;
};

const char* const kWords[] = {
    "Window",  "Desktop", "Location", "Server",  "Port",    "Directory", "Mail",   "Replica",
    "Setup",   "Icon",    "Path",     "Timeout", "Cache",   "Font",      "Color",  "Print",
    "Import",  "Search",  "Index",    "Agent",   "Archive", "Calendar",  "Task",   "Network",
    "Proxy",   "Session", "Admin",    "Update",  "Size",    "Display",   "Dialog", "Config",
};
constexpr size_t kWordCount = sizeof kWords / sizeof kWords[0];

const char* const kOtherFormats[] = {
    "Comma Separated Values,0,_CsvExp,,.csv,,1,",
    "Tabular Text,0,_TabText,,.txt,,1,",
    "Structured Text,0,_StrText,,.txt,,1,",
    "Rich Text Document,0,_RtfExp,,.rtf,,1,",
    "Spreadsheet Table,0,_SheetExp,,.xls,,1,",
    "Calendar Data,0,_CalExp,,.ics,,1,",
    "Contact Cards,0,_CardExp,,.vcf,,1,",
    "Markdown Text,0,_MdExp,,.md,,1,",
    "Plain Records,0,_RecExp,,.rec,,1,",
};

std::string KeyName(Random& Rng, size_t Serial)
{
    std::string Name;
    if (Rng.Below(8) == 0) Name.push_back('$');
    size_t Words = 1 + Rng.Below(3);
    for (size_t Index = 0; Index < Words; Index++) Name += kWords[Rng.Below(kWordCount)];
    Name += std::to_string(Serial);
    return Name;
}

std::string Value(Random& Rng)
{
    switch (Rng.Below(6)) {
    case 0: return std::to_string(Rng.Below(100000));
    case 1:
        return "C:\\Notes\\Data\\" + std::string(kWords[Rng.Below(kWordCount)]) +
               std::to_string(Rng.Below(1000)) + ".nsf";
    case 2:
        return std::to_string(Rng.Below(2000)) + "," + std::to_string(Rng.Below(2000)) + "," +
               std::to_string(Rng.Below(2000)) + "," + std::to_string(Rng.Below(2000));
    case 3: return Rng.Below(2) ? "1" : "0";
    case 4:
        return std::string("CN=") + kWords[Rng.Below(kWordCount)] + "/O=" +
               kWords[Rng.Below(kWordCount)] + std::to_string(Rng.Below(100));
    default: {
        std::string Text;
        size_t Words = 2 + Rng.Below(6);
        for (size_t Index = 0; Index < Words; Index++) {
            if (Index) Text.push_back(' ');
            Text += kWords[Rng.Below(kWordCount)];
        }
        return Text;
    }
    }
}

// One entry line; now and then with blanks around '=' or as a comment line, as hand-edited files
// have them.
void AppendEntry(std::string& Out, Random& Rng, size_t Serial)
{
    size_t Kind = Rng.Below(40);
    if (Kind == 0) {
        Out += "; " + Value(Rng) + "\r\n";
        return;
    }
    Out += KeyName(Rng, Serial);
    Out += Kind == 1 ? " = " : "=";
    Out += Value(Rng);
    Out += "\r\n";
}

// Sections of 10 to 60 entries until the content reaches Limit bytes.
void AppendSections(std::string& Out, Random& Rng, size_t Limit, size_t& Serial, const char* Kind)
{
    while (Out.size() < Limit) {
        Out += "[" + std::string(Kind) + std::to_string(Serial++) + "]\r\n";
        size_t Entries = 10 + Rng.Below(51);
        for (size_t Index = 0; Index < Entries && Out.size() < Limit; Index++) {
            AppendEntry(Out, Rng, Serial++);
        }
        Out += "\r\n";
    }
}

}  // namespace

NotesFile GenerateNotesFile(size_t Size, unsigned Seed)
{
    Random Rng(Seed);
    NotesFile File;
    std::string& Out = File.Content;
    Out.reserve(Size + 4096);
    size_t Serial = 1;

    AppendSections(Out, Rng, Size / 3, Serial, "Profile");

    Out += "[Notes]\r\n";
    std::string Tail;
    for (int Slot = 1; Slot <= 9; Slot++) {
        Tail += "VIEWEXP" + std::to_string(Slot) + "=" + kOtherFormats[Slot - 1] + "\r\n";
    }
    for (int Index = 0; Index < 12; Index++) AppendEntry(Tail, Rng, Serial++);
    size_t NotesLimit = 2 * Size / 3;
    while (Out.size() + Tail.size() < NotesLimit) AppendEntry(Out, Rng, Serial++);
    Out += Tail;
    File.NearEndKey = "VIEWEXP9";
    Out += "\r\n";

    AppendSections(Out, Rng, Size, Serial, "Desktop");
    return File;
}

std::string GenerateSections(size_t Size, size_t Sections, std::string& FirstKey, unsigned Seed)
{
    Random Rng(Seed);
    std::string Out;
    Out.reserve(Size + 4096);
    size_t Serial = 1;
    for (size_t Index = 0; Index < Sections; Index++) {
        bool Notes = Index == Sections / 2;
        Out += Notes ? std::string("[Notes]") : "[Profile" + std::to_string(Serial++) + "]";
        Out += "\r\n";
        if (Notes) FirstKey = KeyName(Rng, Serial++);
        Out += Notes ? FirstKey + "=1\r\n" : "";
        size_t Limit = Size * (Index + 1) / Sections;
        while (Out.size() < Limit) AppendEntry(Out, Rng, Serial++);
    }
    return Out;
}

size_t ParseSize(const std::string& Text)
{
    char* End = nullptr;
    unsigned long long Number = strtoull(Text.c_str(), &End, 10);
    if (End == Text.c_str()) return 0;
    std::string Unit;
    for (; *End; End++) Unit.push_back((char)toupper((unsigned char)*End));
    if (Unit.empty() || Unit == "B") return (size_t)Number;
    if (Unit == "K" || Unit == "KB") return (size_t)Number << 10;
    if (Unit == "M" || Unit == "MB") return (size_t)Number << 20;
    if (Unit == "G" || Unit == "GB") return (size_t)Number << 30;
    return 0;
}

std::string SizeLabel(size_t Size)
{
    if (Size >= (1u << 20) && Size % (1u << 20) == 0) return std::to_string(Size >> 20) + " MB";
    if (Size >= 1024 && Size % 1024 == 0) return std::to_string(Size >> 10) + " KB";
    return std::to_string(Size) + " B";
}

const char kEntry[] = "Export HTML Files,1,_Vorkap,,.Htm,,1,";

void ParseOptions(int argc, char** argv, const char* Usage, std::vector<size_t>& Sizes,
                  int& Reps)
{
    if (Sizes.empty()) Sizes = {10 << 10, 1 << 20, 10 << 20, 100 << 20};
    Reps = 0;
    bool Valid = true;
    for (int Index = 1; Index < argc && Valid; Index++) {
        std::string Argument = argv[Index];
        if (Argument.rfind("--reps=", 0) == 0) {
            Reps = atoi(Argument.c_str() + 7);
            Valid = Reps >= 1;
        } else if (Argument.rfind("--sizes=", 0) == 0) {
            Sizes.clear();
            std::stringstream List(Argument.substr(8));
            std::string Item;
            while (std::getline(List, Item, ',')) {
                Sizes.push_back(ParseSize(Item));
                Valid = Valid && Sizes.back() != 0;
            }
        } else {
            Valid = false;
        }
    }
    if (Valid && !Sizes.empty()) return;
    fprintf(stderr, "usage: %s\n", Usage);
    exit(2);
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

void Die(const std::string& Message)
{
    fprintf(stderr, "benchmark: %s\n", Message.c_str());
    exit(1);
}

}  // namespace bench
