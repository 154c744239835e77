#include "registrar/viewexp.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "registrar/locate.h"

const char ExportEntry[] = "Export HTML Files,1,_Vorkap,,.Htm,,1,";
const char FilterMarker[] = "_vorkap,,";

#define NOTES_SECTION "Notes"
#define PLUGIN_SECTION "Vorkap"
#define FIRST_SLOT 5
#define LAST_SLOT 31
#define READ_BUFFER_SIZE 256

// Folds the ASCII capitals A-Z to lower case, byte by byte, wherever they stand.
static void FoldToLower(char* Text)
{
    for (; *Text != '\0'; Text++) {
        if (*Text >= 'A' && *Text <= 'Z') *Text = (char)(*Text + 0x20);
    }
}

// Names a slot's key: "VIEWEXP" and the slot number in decimal, without leading zeros.
static void FormatSlotKeyName(char* SlotKeyName, unsigned char Slot)
{
    snprintf(SlotKeyName, SLOT_KEY_NAME_SIZE, "VIEWEXP%u", (unsigned int)Slot);
}

int FindViewExpSlot(const char* Marker, char* SlotKeyName)
{
    char Value[READ_BUFFER_SIZE];
    int EmptySlot = 0;

    memset(Value, 0, sizeof Value);
    for (int Slot = FIRST_SLOT; Slot <= LAST_SLOT; Slot++) {
        FormatSlotKeyName(SlotKeyName, (unsigned char)Slot);
        GetPrivateProfileStringA(NOTES_SECTION, SlotKeyName, "", Value, sizeof Value,
                                 NotesIniPath);
        FoldToLower(Value);
        if (strstr(Value, Marker) != NULL) return 1;
        if (EmptySlot == 0 && Value[0] == '\0') EmptySlot = Slot;
    }

    // No slot holds the marker: name the lowest empty slot, or none at all.
    if (EmptySlot == 0) {
        SlotKeyName[0] = '\0';
    } else {
        FormatSlotKeyName(SlotKeyName, (unsigned char)EmptySlot);
    }
    return 0;
}

RegistrarOutcome RegisterViewExport()
{
    char SlotKeyName[SLOT_KEY_NAME_SIZE];

    FindViewExpSlot(FilterMarker, SlotKeyName);
    if (SlotKeyName[0] == '\0') return REGISTRAR_NO_SLOT;
    if (!WritePrivateProfileStringA(NOTES_SECTION, SlotKeyName, ExportEntry, NotesIniPath)) {
        return REGISTRAR_WRITE_FAILED;
    }
    return REGISTRAR_DONE;
}

RegistrarOutcome RemoveViewExport()
{
    char SlotKeyName[SLOT_KEY_NAME_SIZE];

    if (FindViewExpSlot(FilterMarker, SlotKeyName)) {
        if (!WritePrivateProfileStringA(NOTES_SECTION, SlotKeyName, NULL, NotesIniPath)) {
            return REGISTRAR_WRITE_FAILED;
        }
    }
    return DeletePluginSettings();
}

RegistrarOutcome DeletePluginSettings()
{
    if (!WritePrivateProfileStringA(PLUGIN_SECTION, "OutputDocument", NULL, NotesIniPath)) {
        return REGISTRAR_WRITE_FAILED;
    }
    if (!WritePrivateProfileStringA(PLUGIN_SECTION, "OutputXML", NULL, NotesIniPath)) {
        return REGISTRAR_WRITE_FAILED;
    }
    return REGISTRAR_DONE;
}
