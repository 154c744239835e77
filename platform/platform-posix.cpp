// The Win32 operations of the setup program on POSIX, but for the profile calls (which are in
// profile-file-posix.cpp): the file search, the code page, message boxes and help on a terminal.
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
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform-posix.h"
#include "profile/rules.h"

namespace fs = std::filesystem;

// The process's ANSI code page, chosen once by PlatformStartup from the locale.
static UINT ProcessCodePage = 1252;

UINT GetACP() { return ProcessCodePage; }

std::string ConvertFromCodePage932(std::string_view Text, const char* Codeset)
{
    std::string Target = Codeset ? Codeset : "";
    if (Target.empty() || Target == "ANSI_X3.4-1968" || Target == "ASCII") Target = "UTF-8";
    // Room for the worst case: no byte of code page 932 text takes more than 4 bytes elsewhere.
    // Made before the converter, so that running out of memory leaves nothing open.
    std::string Result(4 * Text.size() + 16, '\0');
    iconv_t Converter = iconv_open(Target.c_str(), "CP932");
    if (Converter == (iconv_t)-1) return std::string(Text);
    char* In = const_cast<char*>(Text.data());  // iconv reads the input, never writes it
    char* Out = Result.data();
    size_t InLeft = Text.size(), OutLeft = Result.size();
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
            if (profile::SameName(Name, FileName, GetACP()) && (First.empty() || Name < First) &&
                fs::exists(Item->path(), Error)) {
                First = Name;
            }
        }
        if (!First.empty()) return (fs::path(Directory) / First).string();
    }
    return "";
}

// The one writer of standard error. Standard output is flushed first, so that on a terminal,
// through a pipe or into a file what the program wrote there comes out before, and whole.
static void WriteStandardError(const std::string& Text)
{
    fflush(stdout);
    fwrite(Text.data(), 1, Text.size(), stderr);
}

void PlatformStartup()
{
    setlocale(LC_CTYPE, "");
    // Text is code page 932 under a Shift_JIS locale, whatever the C library calls it. Under any
    // other, UTF-8 among them, one byte is one character, as in Windows' code pages that have no
    // lead bytes (65001 too).
    ProcessCodePage = 1252;
    for (const char* Name : {"SHIFT_JIS", "SHIFT-JIS", "SJIS", "WINDOWS-31J", "CP932", "MS_KANJI"}) {
        if (strcasecmp(nl_langinfo(CODESET), Name) == 0) ProcessCodePage = 932;
    }
    // A write beyond the file-size limit then fails with EFBIG and is reported like any other
    // failed write, instead of SIGXFSZ ending the run part-way through the temporary file.
    signal(SIGXFSZ, SIG_IGN);
}

// Out of memory, the calls below still do their part without the heap: a message goes out as
// its code page 932 bytes, a search finds nothing, so that the run ends with its status and a
// message instead of an abort.

void WriteStandardOutput(const char* Text)
try {
    std::string Converted = ConvertFromCodePage932(Text, nl_langinfo(CODESET));
    // On a terminal the message ends its line, so that what comes after it, the help line or the
    // shell's prompt, starts a line of its own. Through a pipe or into a file the bytes stay as
    // they are: scripts read them.
    if (!Converted.empty() && Converted.back() != '\n' && isatty(STDOUT_FILENO)) {
        Converted += '\n';
    }
    fwrite(Converted.data(), 1, Converted.size(), stdout);
} catch (...) {
    fputs(Text, stdout);
}

DWORD GetModuleFileNameA(HMODULE, LPSTR FileName, DWORD Size)
try {
    std::error_code Ignored;
    std::string Path = fs::read_symlink("/proc/self/exe", Ignored).string();
    if (Path.empty() || Size == 0) return 0;
    // Like Windows: a path that does not fit is cut, terminated, and the full size returned.
    size_t Copied = std::min<size_t>(Path.size(), Size - 1);
    memcpy(FileName, Path.data(), Copied);
    FileName[Copied] = '\0';
    return Path.size() < Size ? (DWORD)Path.size() : Size;
} catch (...) {
    return 0;
}

BOOL SetCurrentDirectoryA(LPCSTR PathName)
{
    return PathName && chdir(PathName) == 0;
}

DWORD SearchPathA(LPCSTR Path, LPCSTR FileName, LPCSTR Extension, DWORD BufferLength,
                  LPSTR Buffer, LPSTR* FilePart)
try {
    // The program asks for a plain file name in the default order, with no extension to add:
    // the executable's directory, the current directory, then each directory of PATH.
    if (Path || Extension || !FileName || !*FileName || strchr(FileName, '/')) return 0;
    std::error_code Ignored;
    std::vector<std::string> Directories = {
        fs::read_symlink("/proc/self/exe", Ignored).parent_path().string(),
        fs::current_path(Ignored).string()};
    std::string_view List = getenv("PATH") ? getenv("PATH") : "";
    for (size_t Begin = 0, End; Begin <= List.size(); Begin = End + 1) {
        End = std::min(List.find(':', Begin), List.size());
        std::string Directory(List.substr(Begin, End - Begin));
        if (!Directory.empty()) Directories.push_back(fs::absolute(Directory, Ignored).string());
    }
    std::string Found = FindInDirectories(Directories, FileName);
    if (Found.empty()) return 0;
    // A result that does not fit returns the size it needs and leaves the buffer untouched.
    if (Found.size() + 1 > BufferLength || !Buffer) return (DWORD)(Found.size() + 1);
    memcpy(Buffer, Found.c_str(), Found.size() + 1);
    if (FilePart) *FilePart = Buffer + Found.rfind('/') + 1;
    return (DWORD)Found.size();
} catch (...) {
    return 0;
}

int MessageBoxA(HWND, LPCSTR Text, LPCSTR Caption, UINT Type)
{
    // The box on the terminal: its caption and mark, then its text. A person at a terminal
    // presses Enter for OK; a script is never kept waiting.
    const char* Mark = (Type & MB_ICONERROR) == MB_ICONERROR ? "error" : "information";
    try {
        WriteStandardError(std::string("[") + (Caption ? Caption : "") + "] " + Mark + "\n" +
                           ConvertFromCodePage932(Text ? Text : "", nl_langinfo(CODESET)) +
                           "\n");
    } catch (...) {
        fflush(stdout);
        fprintf(stderr, "[%s] %s\n%s\n", Caption ? Caption : "", Mark, Text ? Text : "");
    }
    if (isatty(STDIN_FILENO)) {
        WriteStandardError("[OK] ");  // standard error is unbuffered: shown before the wait
        for (int Byte = 0; Byte != EOF && Byte != '\n';) Byte = getchar();
    }
    return IDOK;
}

BOOL WinHelpA(HWND, LPCSTR HelpFile, UINT Command, ULONG_PTR Data)
{
    // Natively there is no help viewer: the call is shown as what it would open, after what the
    // program has already written to standard output. The program asks for nothing else.
    if (Command != HELP_CONTENTS && Command != HELP_CONTEXT) return FALSE;
    char Topic[32];
    if (Command == HELP_CONTEXT) {
        snprintf(Topic, sizeof Topic, "topic %lu", (unsigned long)Data);
    } else {
        snprintf(Topic, sizeof Topic, "contents");
    }
    fflush(stdout);
    fprintf(stderr, "help: %s: %s\n", HelpFile ? HelpFile : "", Topic);
    return TRUE;
}

BOOL IsDBCSLeadByteEx(UINT CodePage, BYTE TestChar)
{
    // The process's own code page, or code page 932; the program asks about no other.
    bool Is932 = CodePage == 932 || (CodePage == CP_ACP && ProcessCodePage == 932);
    return Is932 && profile::IsCodePage932Lead(TestChar);
}
