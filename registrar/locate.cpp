#include "registrar/locate.h"

#include <cstring>

char NotesIniPath[PLATFORM_PATH_LIMIT];

static int IsSeparator(char Byte)
{
    return Byte == '\\' || Byte == '/';
}

int MakeStartDirectory(const char* ModulePath, unsigned int CodePage, char* StartDirectory,
                       size_t Size)
{
    const char* Rest = ModulePath;
    size_t Length = 0;

    if (Size == 0) return 0;
    StartDirectory[0] = '\0';

    // The drive: "X:" at the start of the path.
    if (ModulePath[0] != '\0' && ModulePath[1] == ':') {
        if (Size < 3) return 0;
        StartDirectory[0] = ModulePath[0];
        StartDirectory[1] = ':';
        Length = 2;
        Rest = ModulePath + 2;
    }

    // The directory runs up to and including the last separator. A lead byte and the byte after
    // it are passed over together, so a trail byte never counts as a separator.
    size_t DirectoryLength = 0;
    for (size_t Index = 0; Rest[Index] != '\0'; Index++) {
        if (IsDBCSLeadByteEx(CodePage, (BYTE)Rest[Index])) {
            if (Rest[Index + 1] == '\0') break;
            Index++;
        } else if (IsSeparator(Rest[Index])) {
            DirectoryLength = Index + 1;
        }
    }

    // The directory part always ends with its separator, so nothing is appended to it.
    if (Length + DirectoryLength >= Size) {
        StartDirectory[0] = '\0';
        return 0;
    }
    memcpy(StartDirectory + Length, Rest, DirectoryLength);
    StartDirectory[Length + DirectoryLength] = '\0';
    return 1;
}

int LocateNotesIni()
{
    char ModulePath[PLATFORM_PATH_LIMIT];
    char StartDirectory[PLATFORM_PATH_LIMIT];
    LPSTR FilePart = NULL;

    // A module path that fills the whole buffer was cut: no directory is made current from it.
    DWORD ModuleLength = GetModuleFileNameA(NULL, ModulePath, sizeof ModulePath);
    if (ModuleLength > 0 && ModuleLength < sizeof ModulePath &&
        MakeStartDirectory(ModulePath, CP_ACP, StartDirectory, sizeof StartDirectory)) {
        SetCurrentDirectoryA(StartDirectory);
    }

    // A result as large as the buffer or larger is the size the path would need: the buffer then
    // holds no usable path, and the file counts as not found.
    DWORD Found = SearchPathA(NULL, "notes.ini", NULL, sizeof NotesIniPath, NotesIniPath,
                              &FilePart);
    if (Found == 0 || Found >= sizeof NotesIniPath) {
        memset(NotesIniPath, 0, sizeof NotesIniPath);
        return 0;
    }
    return 1;
}
