// Runs a batch of profile-file cases through whichever GetPrivateProfileStringA and
// WritePrivateProfileStringA it is built with (the native engine, or Windows' own under Wine) and
// prints every answer, so that two builds can be compared byte for byte.
//
// Usage: vorkap_diff_oracle BATCH OUTPUT
//
// BATCH is text, one item a line, every string in hex ("-" for the empty string):
//   C <file bytes>             a new case: its file is written under a name no other case uses
//   R <section> <key>          read with the default "" into 256 bytes filled with zeros
//   S <section> <key> <value>  set a value
//   D <section> <key>          delete a key
// OUTPUT gets one line an operation: "<case> <op> R <returned> <buffer>" with the buffer in hex
// up to its last non-zero byte, or "<case> <op> W <result> <check>", where check tells whether the
// file after the write reads as the engine's own edit of the file before it (the check that the
// Windows program runs on every write of the platform).
//
// Each case's file is "./d<case>.ini" in the current directory: a name with a slash is taken
// as a path, never looked up in the Windows directory, and Wine's per-process cache of profile
// files never sees a name twice.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// The platform's own profile calls: on Windows the real ones, not the checked ones.
#define PLATFORM_RAW_PROFILE_API
#include "platform/platform.h"
#include "profile/profile.h"

namespace {

const int kBufferSize = 256;

int HexDigit(char C)
{
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
}

// Decodes one hex field; false when it is not hex.
bool FromHex(const std::string& Field, std::string& Bytes)
{
    Bytes.clear();
    if (Field == "-") return true;
    if (Field.size() % 2 != 0) return false;
    for (size_t I = 0; I < Field.size(); I += 2) {
        int High = HexDigit(Field[I]), Low = HexDigit(Field[I + 1]);
        if (High < 0 || Low < 0) return false;
        Bytes.push_back((char)(High * 16 + Low));
    }
    return true;
}

std::string ToHex(const char* Bytes, size_t Length)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string Hex;
    for (size_t I = 0; I < Length; ++I) {
        Hex.push_back(kDigits[(unsigned char)Bytes[I] >> 4]);
        Hex.push_back(kDigits[(unsigned char)Bytes[I] & 15]);
    }
    return Hex.empty() ? "-" : Hex;
}

// Splits a line at spaces into its kind and its decoded fields.
bool ParseLine(const std::string& Line, char& Kind, std::vector<std::string>& Fields)
{
    Fields.clear();
    if (Line.size() < 1) return false;
    Kind = Line[0];
    size_t Start = 1;
    while (Start < Line.size() && Line[Start] == ' ') {
        size_t End = Line.find(' ', Start + 1);
        if (End == std::string::npos) End = Line.size();
        std::string Bytes;
        if (!FromHex(Line.substr(Start + 1, End - Start - 1), Bytes)) return false;
        Fields.push_back(Bytes);
        Start = End;
    }
    return Start == Line.size();
}

// The whole file; empty when there is none.
std::string ReadCaseFile(const std::string& Name)
{
    std::string Bytes;
    FILE* File = fopen(Name.c_str(), "rb");
    if (!File) return Bytes;
    char Block[4096];
    for (size_t Got; (Got = fread(Block, 1, sizeof Block, File)) > 0;) Bytes.append(Block, Got);
    fclose(File);
    return Bytes;
}

bool WriteCaseFile(const std::string& Name, const std::string& Bytes)
{
    FILE* File = fopen(Name.c_str(), "wb");
    if (!File) return false;
    bool Written = fwrite(Bytes.data(), 1, Bytes.size(), File) == Bytes.size();
    return fclose(File) == 0 && Written;
}

}  // namespace

int main(int Argc, char** Argv)
{
    if (Argc != 3) {
        fprintf(stderr, "usage: vorkap_diff_oracle BATCH OUTPUT\n");
        return 2;
    }
    PlatformStartup();
    FILE* In = fopen(Argv[1], "rb");
    FILE* Out = fopen(Argv[2], "wb");
    if (!In || !Out) {
        fprintf(stderr, "cannot open %s or %s\n", Argv[1], Argv[2]);
        return 2;
    }
    std::string Line, Name;
    std::vector<std::string> Fields;
    long Case = -1, Op = 0;
    int C;
    while ((C = fgetc(In)) != EOF) {
        if (C != '\n') {
            Line.push_back((char)C);
            continue;
        }
        char Kind = 0;
        size_t Wanted = Line[0] == 'S' ? 3 : Line[0] == 'C' ? 1 : 2;
        if (!ParseLine(Line, Kind, Fields) || Fields.size() != Wanted ||
            (Kind != 'C' && Case < 0)) {
            fprintf(stderr, "bad batch line: %s\n", Line.c_str());
            return 2;
        }
        Line.clear();
        if (Kind == 'C') {
            Name = "./d" + std::to_string(++Case) + ".ini";
            Op = 0;
            if (!WriteCaseFile(Name, Fields[0])) {
                fprintf(stderr, "cannot write %s\n", Name.c_str());
                return 2;
            }
        } else if (Kind == 'R') {
            char Buffer[kBufferSize];
            memset(Buffer, 0, sizeof Buffer);
            DWORD Returned = GetPrivateProfileStringA(Fields[0].c_str(), Fields[1].c_str(), "",
                                                      Buffer, kBufferSize, Name.c_str());
            size_t Used = kBufferSize;
            while (Used > 0 && Buffer[Used - 1] == 0) --Used;
            fprintf(Out, "%ld %ld R %lu %s\n", Case, Op++, (unsigned long)Returned,
                    ToHex(Buffer, Used).c_str());
        } else if (Kind == 'S' || Kind == 'D') {
            const char* Value = Kind == 'S' ? Fields[2].c_str() : nullptr;
            std::string Before = ReadCaseFile(Name);
            BOOL Result = WritePrivateProfileStringA(Fields[0].c_str(), Fields[1].c_str(), Value,
                                                     Name.c_str());
            bool Checked = profile::ReadsAsWritten(Before, ReadCaseFile(Name), Fields[0].c_str(),
                                                   Fields[1].c_str(), Value, GetACP());
            fprintf(Out, "%ld %ld W %d %d\n", Case, Op++, Result ? 1 : 0, Checked ? 1 : 0);
        } else {
            fprintf(stderr, "unknown batch item %c\n", Kind);
            return 2;
        }
    }
    return fclose(Out) == 0 && Line.empty() ? 0 : 2;
}
