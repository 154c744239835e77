#include "front/setup.h"

#include "front/messages.h"
#include "platform/platform.h"
#include "registrar/locate.h"
#include "registrar/viewexp.h"

int MessageBoxMode = 1;
int InstallMode = 1;
int ExitStatus = EXIT_DONE;

// Compares an argument with an option as a whole, folding only the ASCII letters.
static int IsOption(const char* Argument, const char* Option)
{
    for (;; Argument++, Option++) {
        char A = *Argument;
        char O = *Option;
        if (A >= 'a' && A <= 'z') A = (char)(A - 0x20);
        if (O >= 'a' && O <= 'z') O = (char)(O - 0x20);
        if (A != O) return 0;
        if (A == '\0') return 1;
    }
}

void ReadOptions(int ArgumentCount, char** Arguments)
{
    for (int Index = 1; Index < ArgumentCount; Index++) {
        if (IsOption(Arguments[Index], "/I")) {
            MessageBoxMode = 0;
        } else if (IsOption(Arguments[Index], "/U")) {
            InstallMode = 0;
        }
    }
}

void NotifyUser(const char* Text, unsigned int Style)
{
    if (MessageBoxMode) {
        MessageBoxA(NULL, Text, MESSAGE_CAPTION, Style);
    } else {
        WriteStandardOutput(Text);
    }
}

// Tells the user the outcome of a registration or removal, opens the help file after a
// registration, and answers the status to end with: the one place where an outcome of the
// registrar becomes an exit status.
static int ReportOutcome(RegistrarOutcome Outcome)
{
    switch (Outcome) {
    case REGISTRAR_DONE:
        if (InstallMode) {
            NotifyUser(RegisteredMessage, MB_OK | MB_ICONINFORMATION);
            WinHelpA(NULL, HELP_FILE, HELP_CONTENTS, 0);
        } else {
            NotifyUser(RemovedMessage, MB_OK | MB_ICONINFORMATION);
        }
        return EXIT_DONE;
    case REGISTRAR_NO_SLOT:
        NotifyUser(NoSlotMessage, MB_OK | MB_ICONERROR);
        return EXIT_NO_SLOT;
    case REGISTRAR_WRITE_FAILED:
        break;
    }
    NotifyUser(WriteFailedMessage, MB_OK | MB_ICONERROR);
    return EXIT_WRITE_FAILED;
}

int SetupMain(int ArgumentCount, char** Arguments)
{
    ReadOptions(ArgumentCount, Arguments);

    if (!LocateNotesIni()) {
        NotifyUser(NotFoundMessage, MB_OK | MB_ICONERROR);
        WinHelpA(NULL, HELP_FILE, HELP_CONTEXT, HELP_TOPIC_NOT_FOUND);
        ExitStatus = EXIT_NOT_FOUND;
        return ExitStatus;
    }

    ExitStatus = ReportOutcome(InstallMode ? RegisterViewExport() : RemoveViewExport());
    return ExitStatus;
}
