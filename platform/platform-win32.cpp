// The Windows side of the platform layer. Everything platform.h names beyond the two functions
// below is the real Win32 API from <windows.h>.
#include "platform/platform.h"

#include <cstdio>

#include <fcntl.h>
#include <io.h>

void PlatformStartup()
{
    // Standard output starts in text mode, but a caller's environment can change the default
    // translation mode; set it again so that every LF of a message is written as CR LF.
    _setmode(_fileno(stdout), _O_TEXT);
}

void WriteStandardOutput(const char* Text)
{
    // The code page 932 bytes go out unchanged, with no conversion and no line end added.
    fputs(Text, stdout);
    fflush(stdout);
}
