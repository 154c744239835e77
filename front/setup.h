// The run of the setup program: options, the one message, the help call and the exit status.
#pragma once

// Exit statuses, for scripts that run the setup unattended.
#define EXIT_DONE 0          // registered or removed
#define EXIT_NOT_FOUND 1     // notes.ini not found
#define EXIT_WRITE_FAILED 2  // notes.ini could not be updated
#define EXIT_NO_SLOT 3       // no free VIEWEXP slot

// True: messages in message boxes. False ("/I"): on standard output.
extern int MessageBoxMode;
// True: registration. False ("/U"): removal.
extern int InstallMode;
// The status the process ends with.
extern int ExitStatus;

// Reads the options "/I" and "/U" from arguments 1 to ArgumentCount - 1.
void ReadOptions(int ArgumentCount, char** Arguments);
// Shows one message: in a message box with Style, or on standard output.
void NotifyUser(const char* Text, unsigned int Style);
// The whole run: options, locating notes.ini, registration or removal, the message, the help
// call. Returns ExitStatus.
int SetupMain(int ArgumentCount, char** Arguments);
