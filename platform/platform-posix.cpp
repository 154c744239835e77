// The Win32 operations of the setup program, on POSIX: the executable's path from /proc, the
// file search, the profile-file engine, and message boxes and help calls on the terminal.
#include "platform/platform.h"

#include <dirent.h>
#include <iconv.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform-posix.h"
#include "platform/profile-file.h"
#include "platform/profile.h"

namespace {

// True for the names under which the C library knows Shift_JIS.
bool IsShiftJis(const char* Codeset)
{
    const char* const Names[] = {"SHIFT_JIS", "SHIFT-JIS", "SJIS", "WINDOWS-31J", "CP932",
                                 "MS_KANJI"};
    for (const char* Name : Names) {
        if (strcasecmp(Codeset, Name) == 0) return true;
    }
    return false;
}

// The bytes of the locale's multibyte encoding, which stands in for the ANSI code page: the
// lead bytes that need more bytes after them, and the bytes that complete the first of them.
// Under Shift_JIS the rule is code page 932's, whose rows the C library does not all pair.
profile::ByteRule LocaleByteRule(const char* Codeset)
{
    if (IsShiftJis(Codeset)) return profile::CodePage932();
    profile::ByteRule Rule;
    int FirstLead = 0;
    for (int Byte = 0x80; Byte < 0x100; Byte++) {
        char Text = (char)Byte;
        mbstate_t State{};
        Rule.Lead[Byte] = mbrlen(&Text, 1, &State) == (size_t)-2;
        if (Rule.Lead[Byte] && !FirstLead) FirstLead = Byte;
    }
    for (int Byte = 1; FirstLead && Byte < 0x100; Byte++) {
        char Pair[2] = {(char)FirstLead, (char)Byte};
        mbstate_t State{};
        Rule.Trail[Byte] = mbrlen(Pair, 2, &State) == 2;
    }
    return Rule;
}

const char* LocaleCodeset()
{
    const char* Codeset = nl_langinfo(CODESET);
    return Codeset ? Codeset : "";
}

std::string CurrentDirectory()
{
    std::error_code Ignored;
    return std::filesystem::current_path(Ignored).string();
}

std::string ExecutableDirectory()
{
    std::error_code Ignored;
    return std::filesystem::read_symlink("/proc/self/exe", Ignored).parent_path().string();
}

bool SameNameIgnoringAsciiCase(const char* A, const std::string& B)
{
    size_t Length = strlen(A);
    if (Length != B.size()) return false;
    for (size_t Index = 0; Index < Length; Index++) {
        char X = A[Index];
        char Y = B[Index];
        if (X >= 'A' && X <= 'Z') X = (char)(X + 0x20);
        if (Y >= 'A' && Y <= 'Z') Y = (char)(Y + 0x20);
        if (X != Y) return false;
    }
    return true;
}

std::string JoinPath(const std::string& Directory, const std::string& Name)
{
    if (Directory.empty() || Directory.back() == '/') return Directory + Name;
    return Directory + "/" + Name;
}

void WriteToStream(FILE* Stream, const std::string& Text)
{
    fwrite(Text.data(), 1, Text.size(), Stream);
}

}  // namespace

std::string ConvertFromCodePage932(std::string_view Text, const char* Codeset)
{
    std::string Target = Codeset ? Codeset : "";
    if (Target.empty() || Target == "ANSI_X3.4-1968" || Target == "ASCII") Target = "UTF-8";
    iconv_t Converter = iconv_open(Target.c_str(), "CP932");
    if (Converter == (iconv_t)-1) return std::string(Text);

    std::string Result;
    std::vector<char> Input(Text.begin(), Text.end());
    char* In = Input.data();
    size_t InLeft = Input.size();
    char Chunk[256];
    while (InLeft > 0) {
        char* Out = Chunk;
        size_t OutLeft = sizeof Chunk;
        size_t Converted = iconv(Converter, &In, &InLeft, &Out, &OutLeft);
        Result.append(Chunk, sizeof Chunk - OutLeft);
        if (Converted == (size_t)-1 && errno != E2BIG) {
            // A byte that is not code page 932 text: passed on unchanged.
            Result.push_back(*In);
            In++;
            InLeft--;
        }
    }
    char* Out = Chunk;
    size_t OutLeft = sizeof Chunk;
    iconv(Converter, nullptr, nullptr, &Out, &OutLeft);
    Result.append(Chunk, sizeof Chunk - OutLeft);
    iconv_close(Converter);
    return Result;
}

std::string FindInDirectories(const std::vector<std::string>& Directories,
                              const std::string& FileName)
{
    struct stat Status;
    for (const std::string& Directory : Directories) {
        if (Directory.empty()) continue;
        std::string Exact = JoinPath(Directory, FileName);
        if (stat(Exact.c_str(), &Status) == 0) return Exact;

        // Where the exact name is absent, the first name in byte order that differs from it
        // only in ASCII case.
        DIR* Listing = opendir(Directory.c_str());
        if (!Listing) continue;
        std::vector<std::string> Candidates;
        while (struct dirent* Item = readdir(Listing)) {
            if (SameNameIgnoringAsciiCase(Item->d_name, FileName)) {
                Candidates.push_back(Item->d_name);
            }
        }
        closedir(Listing);
        std::sort(Candidates.begin(), Candidates.end());
        for (const std::string& Name : Candidates) {
            std::string Path = JoinPath(Directory, Name);
            if (stat(Path.c_str(), &Status) == 0) return Path;
        }
    }
    return "";
}

void PlatformStartup()
{
    setlocale(LC_CTYPE, "");
    profile::SetByteRule(LocaleByteRule(LocaleCodeset()));
    // A write beyond the file-size limit then fails with EFBIG and is reported like any other
    // failed write, instead of SIGXFSZ ending the run part-way through the temporary file.
    signal(SIGXFSZ, SIG_IGN);
}

void WriteStandardOutput(const char* Text)
{
    WriteToStream(stdout, ConvertFromCodePage932(Text, LocaleCodeset()));
}

DWORD GetModuleFileNameA(HMODULE, LPSTR FileName, DWORD Size)
{
    if (Size == 0) return 0;
    char Path[PATH_MAX];
    ssize_t Length = readlink("/proc/self/exe", Path, sizeof Path);
    if (Length <= 0 || (size_t)Length >= sizeof Path) return 0;
    // Like Windows: a path that does not fit is cut, terminated, and the full size returned.
    if ((DWORD)Length >= Size) {
        memcpy(FileName, Path, Size - 1);
        FileName[Size - 1] = '\0';
        return Size;
    }
    memcpy(FileName, Path, (size_t)Length);
    FileName[Length] = '\0';
    return (DWORD)Length;
}

BOOL SetCurrentDirectoryA(LPCSTR PathName)
{
    return PathName && chdir(PathName) == 0;
}

DWORD SearchPathA(LPCSTR Path, LPCSTR FileName, LPCSTR Extension, DWORD BufferLength,
                  LPSTR Buffer, LPSTR* FilePart)
{
    // The program never passes an extension to add.
    if (!FileName || FileName[0] == '\0' || Extension) return 0;
    std::string Name = FileName;

    // The executable's directory, the current directory, then each directory of PATH; or only
    // the directories given.
    std::string Cwd = CurrentDirectory();
    std::vector<std::string> Directories;
    const char* List = Path;
    if (!Path) {
        Directories.push_back(ExecutableDirectory());
        Directories.push_back(Cwd);
        List = getenv("PATH");
    }
    for (const char* Part = List; Part && *Part;) {
        const char* End = strchr(Part, ':');
        std::string Directory(Part, End ? (size_t)(End - Part) : strlen(Part));
        if (!Directory.empty() && Directory[0] != '/') Directory = JoinPath(Cwd, Directory);
        Directories.push_back(Directory);
        Part = End ? End + 1 : nullptr;
    }

    std::string Found = Name.find('/') != std::string::npos
                            ? FindInDirectories({Name[0] == '/' ? "/" : Cwd}, Name)
                            : FindInDirectories(Directories, Name);
    if (Found.empty()) return 0;
    // A result that does not fit returns the size it needs and leaves the buffer untouched.
    if (Found.size() + 1 > BufferLength || !Buffer) return (DWORD)(Found.size() + 1);
    memcpy(Buffer, Found.c_str(), Found.size() + 1);
    if (FilePart) *FilePart = Buffer + Found.rfind('/') + 1;
    return (DWORD)Found.size();
}

DWORD GetPrivateProfileStringA(LPCSTR AppName, LPCSTR KeyName, LPCSTR Default,
                               LPSTR ReturnedString, DWORD Size, LPCSTR FileName)
{
    if (!ReturnedString || Size == 0) return 0;
    return (DWORD)profile::ReadFileString(FileName, AppName, KeyName, Default, ReturnedString,
                                          Size);
}

BOOL WritePrivateProfileStringA(LPCSTR AppName, LPCSTR KeyName, LPCSTR String, LPCSTR FileName)
{
    return profile::WriteFileString(FileName, AppName, KeyName, String) ? TRUE : FALSE;
}

int MessageBoxA(HWND, LPCSTR Text, LPCSTR Caption, UINT Type)
{
    // The box on the terminal: its caption and mark, then its text. A person at a terminal
    // presses Enter for OK; a script is never kept waiting.
    const char* Mark = (Type & MB_ICONERROR) == MB_ICONERROR ? "error" : "information";
    fflush(stdout);
    std::string Box = std::string("[") + (Caption ? Caption : "") + "] " + Mark + "\n" +
                      ConvertFromCodePage932(Text ? Text : "", LocaleCodeset()) + "\n";
    WriteToStream(stderr, Box);
    if (isatty(STDIN_FILENO)) {
        fputs("[OK] ", stderr);
        fflush(stderr);
        int Byte;
        while ((Byte = getchar()) != EOF && Byte != '\n') {
        }
    }
    fflush(stderr);
    return IDOK;
}

BOOL WinHelpA(HWND, LPCSTR HelpFile, UINT Command, ULONG_PTR Data)
{
    // Natively there is no help viewer: the call is shown as what it would open, after what the
    // program has already written to standard output.
    fflush(stdout);
    const char* File = HelpFile ? HelpFile : "";
    if (Command == HELP_CONTENTS) {
        fprintf(stderr, "help: %s: contents\n", File);
    } else if (Command == HELP_CONTEXT) {
        fprintf(stderr, "help: %s: topic %lu\n", File, (unsigned long)Data);
    } else {
        return FALSE;  // the program asks for nothing else
    }
    fflush(stderr);
    return TRUE;
}

BOOL IsDBCSLeadByteEx(UINT CodePage, BYTE TestChar)
{
    // The process's own rule, or code page 932; the program asks about no other code page.
    if (CodePage == CP_ACP) return profile::CurrentByteRule().Lead[TestChar];
    return CodePage == 932 && profile::CodePage932().Lead[TestChar];
}
