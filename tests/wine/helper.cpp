// What the Windows program's tests under Wine ask of another Windows program:
//   hold FILE SECONDS          opens FILE without sharing, writes "held" and keeps it open until
//                              FILE.release appears or SECONDS have passed
//   attributes FILE [VALUE]    sets FILE's attributes to VALUE (hex) when given; prints them in hex
//   writes FILE PREFIX COUNT   sets PREFIX1 to PREFIXCOUNT of section [Writers] to "1", one by one,
//                              through the program's own checked write; prints how many failed
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int ArgumentCount, char** Arguments)
{
    if (ArgumentCount >= 4 && strcmp(Arguments[1], "hold") == 0) {
        HANDLE File = CreateFileA(Arguments[2], GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (File == INVALID_HANDLE_VALUE) return 2;
        std::puts("held");
        std::fflush(stdout);
        std::string Release = std::string(Arguments[2]) + ".release";
        for (int Waited = 0; Waited < atoi(Arguments[3]) * 1000; Waited += 1) {
            if (GetFileAttributesA(Release.c_str()) != INVALID_FILE_ATTRIBUTES) break;
            Sleep(1);
        }
        CloseHandle(File);
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
    if (ArgumentCount >= 5 && strcmp(Arguments[1], "writes") == 0) {
        int Failed = 0;
        for (int Round = 1; Round <= atoi(Arguments[4]); Round++) {
            std::string Key = Arguments[3] + std::to_string(Round);
            Failed += !WritePrivateProfileStringA("Writers", Key.c_str(), "1", Arguments[2]);
        }
        std::printf("%d failed\n", Failed);
        return 0;
    }
    std::fputs("usage: wine_helper hold FILE SECONDS | attributes FILE [VALUE] | "
               "writes FILE PREFIX COUNT\n", stderr);
    return 1;
}
