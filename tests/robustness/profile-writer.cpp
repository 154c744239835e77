// Edits one profile file in a loop through WritePrivateProfileStringA, as a second writer racing
// another: for i = 0 .. Count-1 it sets Prefix<i> = "v<i>-<Prefix>" in Section, and after each odd
// i deletes Prefix<i-1> again. Afterwards exactly the odd keys must remain, with their values.
// Exit status 0 when every call succeeded, 1 at the first one that failed.
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: %s FILE SECTION PREFIX COUNT\n", argv[0]);
        return 2;
    }
    const char* File = argv[1];
    const char* Section = argv[2];
    const char* Prefix = argv[3];
    long Count = strtol(argv[4], nullptr, 10);
    char Key[64];
    char Value[96];
    for (long Index = 0; Index < Count; Index++) {
        snprintf(Key, sizeof Key, "%s%ld", Prefix, Index);
        snprintf(Value, sizeof Value, "v%ld-%s", Index, Prefix);
        if (!WritePrivateProfileStringA(Section, Key, Value, File)) {
            fprintf(stderr, "set %s failed\n", Key);
            return 1;
        }
        if (Index % 2 == 1) {
            snprintf(Key, sizeof Key, "%s%ld", Prefix, Index - 1);
            if (!WritePrivateProfileStringA(Section, Key, nullptr, File)) {
                fprintf(stderr, "delete %s failed\n", Key);
                return 1;
            }
        }
    }
    return 0;
}
