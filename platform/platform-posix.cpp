// The Win32 operations of the setup program, on POSIX: the executable's path from /proc, the
// file search, the profile-file engine, and message boxes and help calls on the terminal.
#include "platform/platform.h"

#include <iconv.h>
#include <langinfo.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <clocale>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform-posix.h"
#include "platform/profile.h"

namespace fs = std::filesystem;

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

// The running program's full path, or "" where /proc does not tell it.
std::string ExecutablePath()
{
    std::error_code Ignored;
    return fs::read_symlink("/proc/self/exe", Ignored).string();
}

bool SameNameIgnoringAsciiCase(const std::string& A, const std::string& B)
{
    auto Fold = [](char Byte) { return (Byte >= 'A' && Byte <= 'Z') ? (char)(Byte + 0x20) : Byte; };
    return std::equal(A.begin(), A.end(), B.begin(), B.end(),
                      [&](char X, char Y) { return Fold(X) == Fold(Y); });
}

}  // namespace

std::string ConvertFromCodePage932(std::string_view Text, const char* Codeset)
{
    std::string Target = Codeset ? Codeset : "";
    if (Target.empty() || Target == "ANSI_X3.4-1968" || Target == "ASCII") Target = "UTF-8";
    iconv_t Converter = iconv_open(Target.c_str(), "CP932");
    if (Converter == (iconv_t)-1) return std::string(Text);
    // Room for the worst case: no byte of code page 932 text takes more than 4 bytes elsewhere.
    std::string Input(Text);
    std::string Result(4 * Text.size() + 16, '\0');
    char* In = Input.data();
    char* Out = Result.data();
    size_t InLeft = Input.size();
    size_t OutLeft = Result.size();
    while (iconv(Converter, &In, &InLeft, &Out, &OutLeft) == (size_t)-1 && errno != E2BIG &&
           InLeft > 0) {
        // A byte that is not code page 932 text: passed on unchanged.
        *Out++ = *In++;
        InLeft--;
        OutLeft--;
    }
    iconv(Converter, nullptr, nullptr, &Out, &OutLeft);
    iconv_close(Converter);
    Result.resize(Result.size() - OutLeft);
    return Result;
}

std::string FindInDirectories(const std::vector<std::string>& Directories,
                              const std::string& FileName)
{
    std::error_code Error;
    for (const std::string& Directory : Directories) {
        if (Directory.empty()) continue;
        fs::path Exact = fs::path(Directory) / FileName;
        if (fs::exists(Exact, Error)) return Exact.string();
        // Where the exact name is absent, the first name in byte order that differs from it
        // only in ASCII case.
        std::string First;
        for (fs::directory_iterator Item(Directory, Error), End; !Error && Item != End;
             Item.increment(Error)) {
            std::string Name = Item->path().filename().string();
            if (SameNameIgnoringAsciiCase(Name, FileName) && (First.empty() || Name < First) &&
                fs::exists(Item->path(), Error)) {
                First = Name;
            }
        }
        if (!First.empty()) return (fs::path(Directory) / First).string();
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
    std::string Converted = ConvertFromCodePage932(Text, LocaleCodeset());
    fwrite(Converted.data(), 1, Converted.size(), stdout);
}

DWORD GetModuleFileNameA(HMODULE, LPSTR FileName, DWORD Size)
{
    std::string Path = ExecutablePath();
    if (Path.empty() || Size == 0) return 0;
    // Like Windows: a path that does not fit is cut, terminated, and the full size returned.
    size_t Copied = std::min<size_t>(Path.size(), Size - 1);
    memcpy(FileName, Path.data(), Copied);
    FileName[Copied] = '\0';
    return Path.size() < Size ? (DWORD)Path.size() : Size;
}

BOOL SetCurrentDirectoryA(LPCSTR PathName)
{
    return PathName && chdir(PathName) == 0;
}

DWORD SearchPathA(LPCSTR Path, LPCSTR FileName, LPCSTR Extension, DWORD BufferLength,
                  LPSTR Buffer, LPSTR* FilePart)
{
    // The program asks for a plain file name, with no extension to add.
    if (!FileName || FileName[0] == '\0' || strchr(FileName, '/') || Extension) return 0;

    // The executable's directory, the current directory, then each directory of PATH; or only
    // the directories given.
    std::error_code Ignored;
    std::vector<std::string> Directories;
    const char* List = Path;
    if (!Path) {
        Directories.push_back(fs::path(ExecutablePath()).parent_path().string());
        Directories.push_back(fs::current_path(Ignored).string());
        List = getenv("PATH");
    }
    for (const char* Part = List; Part && *Part;) {
        const char* End = strchr(Part, ':');
        std::string Directory(Part, End ? (size_t)(End - Part) : strlen(Part));
        if (!Directory.empty()) Directories.push_back(fs::absolute(Directory, Ignored).string());
        Part = End ? End + 1 : nullptr;
    }

    std::string Found = FindInDirectories(Directories, FileName);
    if (Found.empty()) return 0;
    // A result that does not fit returns the size it needs and leaves the buffer untouched.
    if (Found.size() + 1 > BufferLength || !Buffer) return (DWORD)(Found.size() + 1);
    memcpy(Buffer, Found.c_str(), Found.size() + 1);
    if (FilePart) *FilePart = Buffer + Found.rfind('/') + 1;
    return (DWORD)Found.size();
}

int MessageBoxA(HWND, LPCSTR Text, LPCSTR Caption, UINT Type)
{
    // The box on the terminal: its caption and mark, then its text. A person at a terminal
    // presses Enter for OK; a script is never kept waiting.
    const char* Mark = (Type & MB_ICONERROR) == MB_ICONERROR ? "error" : "information";
    fflush(stdout);
    std::string Box = std::string("[") + (Caption ? Caption : "") + "] " + Mark + "\n" +
                      ConvertFromCodePage932(Text ? Text : "", LocaleCodeset()) + "\n";
    fwrite(Box.data(), 1, Box.size(), stderr);
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
