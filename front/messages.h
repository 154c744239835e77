// The texts that the setup program shows, as code page 932 bytes, and the names it shows them
// under.
#pragma once

// The caption of every message box.
#define MESSAGE_CAPTION "Talvenor"
// The plug-in's help file, named without a directory: the executable's directory is current.
#define HELP_FILE "nVorkap.hlp"
// The help topic opened when notes.ini is missing.
#define HELP_TOPIC_NOT_FOUND 123

extern const char NotFoundMessage[];     // notes.ini not found (error)
extern const char RegisteredMessage[];   // registration done (information)
extern const char RemovedMessage[];      // removal done (information)
extern const char WriteFailedMessage[];  // notes.ini could not be updated (error)
extern const char NoSlotMessage[];       // no free VIEWEXP slot (error)
