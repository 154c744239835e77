// What the Windows program's tests under Wine ask of another Windows program:
//   hold FILE SECONDS          opens FILE without sharing, prints "held" and keeps it open until
//                              FILE.release appears or SECONDS have passed
//   share FILE SECONDS         the same, sharing reading and writing (not deleting)
//   crt FILE SECONDS           the same, opened as the C runtime's fopen(FILE, "r") opens it
//   scan DIR SECONDS           a virus scanner: opens each file of DIR for reading, sharing reading
//                              and writing, for about 1 ms, over and over, until DIR\scan.stop
//                              appears or SECONDS have passed; prints "scanning", then the opens
//   attributes FILE [VALUE]    sets FILE's attributes to VALUE (hex) when given; prints them in hex
//   writes FILE PREFIX COUNT   sets PREFIX1 to PREFIXCOUNT of section [Writers] to "1", one by one,
//                              through the program's own checked write; prints how many failed
//   time FILE COUNT raw|checked  writes key Timing of section [Notes] COUNT times, "0" and "1" in
//                              turn, through the platform's write or the program's checked one;
//                              prints the milliseconds a write took on average
//   box TITLE                  the window captioned TITLE (a message box): prints the process's
//                              ANSI code page, then the window's caption and the text of each
//                              static control in it, in UTF-8, one "caption: " or "text: " line
//                              each
// Copied as tasklist.exe into the prefix's system folder (Wine's own tasklist is a stub that lists
// nothing), it lists the running processes as tasklist /NH does (as tasklist /NH /FO CSV does
// with /FO CSV), only those of image name NAME with /FI "IMAGENAME eq NAME", and prints
// tasklist's INFO line when none is running.
#define PLATFORM_RAW_PROFILE_API
#include "platform/platform.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Waits until NAME exists or SECONDS have passed.
void WaitFor(const std::string& Name, int Seconds)
{
    for (DWORD Start = GetTickCount(); GetTickCount() - Start < (DWORD)Seconds * 1000; Sleep(1))
        if (GetFileAttributesA(Name.c_str()) != INVALID_FILE_ATTRIBUTES) return;
}

double Milliseconds()
{
    LARGE_INTEGER Now, Frequency;
    QueryPerformanceCounter(&Now);
    QueryPerformanceFrequency(&Frequency);
    return Now.QuadPart * 1000.0 / Frequency.QuadPart;
}

// Prints LABEL, then TEXT in UTF-8, then a line end.
void PrintUtf8(const char* Label, const wchar_t* Text)
{
    char Bytes[4096];
    int Length = WideCharToMultiByte(CP_UTF8, 0, Text, -1, Bytes, sizeof Bytes, nullptr, nullptr);
    std::printf("%s%s\n", Label, Length > 0 ? Bytes : "<not convertible>");
}

BOOL CALLBACK PrintStaticText(HWND Window, LPARAM)
{
    wchar_t Class[64], Text[2048];
    if (GetClassNameW(Window, Class, 64) && _wcsicmp(Class, L"Static") == 0 &&
        GetWindowTextW(Window, Text, 2048) > 0)
        PrintUtf8("text: ", Text);
    return TRUE;
}

// What tasklist /NH [/FO CSV] [/FI "IMAGENAME eq NAME"] prints, from the process list Wine keeps.
int ListTasks(int ArgumentCount, char** Arguments)
{
    const char* Name = nullptr;
    const char* Format = "%-25s %8lu Console                    1      1,024 K\n";
    for (int Index = 1; Index + 1 < ArgumentCount; Index++) {
        if (_stricmp(Arguments[Index], "/FI") == 0 &&
            _strnicmp(Arguments[Index + 1], "IMAGENAME eq ", 13) == 0)
            Name = Arguments[Index + 1] + 13;
        if (_stricmp(Arguments[Index], "/FO") == 0 && _stricmp(Arguments[Index + 1], "CSV") == 0)
            Format = "\"%s\",\"%lu\",\"Console\",\"1\",\"1,024 K\"\n";
    }
    HANDLE Snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (Snapshot == INVALID_HANDLE_VALUE) return 1;
    PROCESSENTRY32 Entry;
    Entry.dwSize = sizeof Entry;
    int Listed = 0;
    for (BOOL More = Process32First(Snapshot, &Entry); More; More = Process32Next(Snapshot, &Entry)) {
        if (Name && _stricmp(Entry.szExeFile, Name) != 0) continue;
        std::printf(Format, Entry.szExeFile, (unsigned long)Entry.th32ProcessID);
        Listed++;
    }
    CloseHandle(Snapshot);
    if (!Listed) std::puts("INFO: No tasks are running which match the specified criteria.");
    return 0;
}

}  // namespace

int main(int ArgumentCount, char** Arguments)
{
    char Self[MAX_PATH];
    DWORD Length = GetModuleFileNameA(nullptr, Self, sizeof Self);
    const char* Base = Length && Length < sizeof Self ? strrchr(Self, '\\') : nullptr;
    if (Base && _stricmp(Base + 1, "tasklist.exe") == 0) return ListTasks(ArgumentCount, Arguments);
    const char* Mode = ArgumentCount >= 4 ? Arguments[1] : "";
    const DWORD ReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;
    if (strcmp(Mode, "hold") == 0 || strcmp(Mode, "share") == 0) {
        HANDLE File = CreateFileA(Arguments[2], GENERIC_READ | GENERIC_WRITE,
                                  strcmp(Mode, "share") == 0 ? ReadWrite : 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (File == INVALID_HANDLE_VALUE) return 2;
        std::puts("held");
        std::fflush(stdout);
        WaitFor(std::string(Arguments[2]) + ".release", atoi(Arguments[3]));
        CloseHandle(File);
        return 0;
    }
    if (strcmp(Mode, "crt") == 0) {
        FILE* File = std::fopen(Arguments[2], "r");
        if (!File) return 2;
        std::puts("held");
        std::fflush(stdout);
        WaitFor(std::string(Arguments[2]) + ".release", atoi(Arguments[3]));
        std::fclose(File);
        return 0;
    }
    if (strcmp(Mode, "scan") == 0) {
        std::string Directory = std::string(Arguments[2]) + "\\";
        std::puts("scanning");
        std::fflush(stdout);
        long Opens = 0;
        DWORD Start = GetTickCount(), Limit = atoi(Arguments[3]) * 1000;
        while (GetTickCount() - Start < Limit &&
               GetFileAttributesA((Directory + "scan.stop").c_str()) == INVALID_FILE_ATTRIBUTES) {
            WIN32_FIND_DATAA Found;
            HANDLE Search = FindFirstFileA((Directory + "*").c_str(), &Found);
            if (Search == INVALID_HANDLE_VALUE) continue;
            do {
                if (Found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
                HANDLE File = CreateFileA((Directory + Found.cFileName).c_str(), GENERIC_READ,
                                          ReadWrite, nullptr, OPEN_EXISTING, 0, nullptr);
                if (File == INVALID_HANDLE_VALUE) continue;
                Opens++;
                Sleep(1);
                CloseHandle(File);
            } while (FindNextFileA(Search, &Found));
            FindClose(Search);
        }
        std::printf("%ld opens\n", Opens);
        return 0;
    }
    if (ArgumentCount >= 3 && strcmp(Arguments[1], "attributes") == 0) {
        DWORD Wanted = ArgumentCount >= 4 ? strtoul(Arguments[3], nullptr, 16) : 0;
        if (Wanted && !SetFileAttributesA(Arguments[2], Wanted)) return 2;
        DWORD Attributes = GetFileAttributesA(Arguments[2]);
        if (Attributes == INVALID_FILE_ATTRIBUTES) return 2;
        std::printf("%lx\n", (unsigned long)Attributes);
        return 0;
    }
    if (ArgumentCount >= 3 && strcmp(Arguments[1], "box") == 0) {
        HWND Box = FindWindowA(nullptr, Arguments[2]);
        if (!Box) return 2;
        wchar_t Caption[256];
        GetWindowTextW(Box, Caption, 256);
        std::printf("code page %u\n", GetACP());
        PrintUtf8("caption: ", Caption);
        EnumChildWindows(Box, PrintStaticText, 0);
        return 0;
    }
    if (ArgumentCount >= 5 && strcmp(Mode, "writes") == 0) {
        int Failed = 0;
        for (int Round = 1; Round <= atoi(Arguments[4]); Round++) {
            std::string Key = Arguments[3] + std::to_string(Round);
            Failed += !CheckedWritePrivateProfileString("Writers", Key.c_str(), "1", Arguments[2]);
        }
        std::printf("%d failed\n", Failed);
        return 0;
    }
    if (ArgumentCount >= 5 && strcmp(Mode, "time") == 0) {
        bool Checked = strcmp(Arguments[4], "checked") == 0;
        int Count = atoi(Arguments[3]);
        double Start = Milliseconds();
        for (int Round = 0; Round < Count; Round++) {
            const char* Value = Round % 2 ? "1" : "0";
            if (!(Checked ? CheckedWritePrivateProfileString("Notes", "Timing", Value, Arguments[2])
                          : WritePrivateProfileStringA("Notes", "Timing", Value, Arguments[2])))
                return 2;
        }
        std::printf("%.2f\n", (Milliseconds() - Start) / Count);
        return 0;
    }
    std::fputs("usage: wine_helper hold|share|crt FILE SECONDS | scan DIR SECONDS | "
               "attributes FILE [VALUE] | writes FILE PREFIX COUNT | "
               "time FILE COUNT raw|checked | box TITLE\n", stderr);
    return 1;
}
