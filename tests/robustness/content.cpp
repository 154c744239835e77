#include "tests/robustness/content.h"

#include <cstdio>

#include "tests/robustness/harness.h"

namespace robust {

std::string NotesIniOfSize(size_t Size, bool Exact)
{
    static const char Tail[] =
        "[Notes]\r\n"
        "Language=ja\r\n"
        "VIEWEXP1=Spreadsheet Table,0,_SheetExp,,.XLS,,1,\r\n"
        "VIEWEXP2=Structured Text,0,_StrText,,.TXT,,1,\r\n"
        "VIEWEXP3=Tabular Text,1,_TabText,,.TXT,,1,\r\n"
        "VIEWEXP4=Comma Separated Values,1,_CsvExp,,.CSV,,1,\r\n";
    std::string Content;
    Content.reserve(Size + 256);
    char Line[128];
    for (unsigned Index = 0; Content.size() + sizeof Tail + 128 < Size; Index++) {
        snprintf(Line, sizeof Line,
                 "[Filler%u]\r\nName=Value %u of the filler\r\nPath=C:\\x\\%u\r\n", Index,
                 Index, Index * 7919u);
        Content += Line;
    }
    if (Exact && Content.size() + sizeof Tail - 1 < Size) {
        // Pad with one comment-like line so that the total is exactly Size.
        size_t Room = Size - Content.size() - (sizeof Tail - 1);
        if (Room >= 3) {
            Content += ";" + std::string(Room - 3, 'p') + "\r\n";
        } else {
            Content += std::string(Room, '\n');
        }
    }
    Content += Tail;
    return Content;
}

std::string RegisteredLine()
{
    return std::string("VIEWEXP5=") + kEntry + "\r\n";
}

}  // namespace robust
