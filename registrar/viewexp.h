// Registering the plug-in's view-export entry in notes.ini, and removing it.
#pragma once

// Outcomes of registration and removal. They are not exit statuses, and are numbered apart from
// them: the front end turns each into its message and status in one place.
enum RegistrarOutcome {
    REGISTRAR_DONE = 100,
    REGISTRAR_WRITE_FAILED,  // a write or delete of notes.ini failed; nothing more was written
    REGISTRAR_NO_SLOT,       // VIEWEXP5 to VIEWEXP31 all hold other formats; nothing written
};

// Capacity of a slot key name ("VIEWEXP31" has 9 characters).
#define SLOT_KEY_NAME_SIZE 12

// The entry that registration writes, and the text that identifies an existing registration.
extern const char ExportEntry[];
extern const char FilterMarker[];

// Scans VIEWEXP5 to VIEWEXP31 of section "Notes". Answers 1 with SlotKeyName naming the lowest
// slot whose value, folded to lower case, contains Marker. Otherwise answers 0 with SlotKeyName
// naming the lowest empty slot, or empty when every slot holds a value.
int FindViewExpSlot(const char* Marker, char* SlotKeyName);

// Writes ExportEntry into the slot that already holds the registration, else the lowest empty
// one. Returns REGISTRAR_DONE, REGISTRAR_WRITE_FAILED or REGISTRAR_NO_SLOT.
RegistrarOutcome RegisterViewExport();

// Deletes the slot that holds the registration, if one does, then the plug-in's settings.
// Returns REGISTRAR_DONE or REGISTRAR_WRITE_FAILED.
RegistrarOutcome RemoveViewExport();

// Deletes "OutputDocument", then "OutputXML", from section "Vorkap". Returns REGISTRAR_DONE or
// REGISTRAR_WRITE_FAILED.
RegistrarOutcome DeletePluginSettings();
