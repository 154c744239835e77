// The operating-system operations that the setup program uses, under their Win32 names.
//
// On Windows these are the real ones from <windows.h>, with the profile calls checked and the
// message box shown from code page 932 (below).
// Elsewhere this header declares the same names and signatures: profile-file-posix.cpp supplies
// the profile calls over a byte-preserving profile-file engine, and platform-posix.cpp the file
// search, and message boxes and help calls shown on the terminal.
#pragma once

#include <cstddef>

#ifdef _WIN32
#include <windows.h>
// The path limit of the platform: the size of every path buffer of the program.
#define PLATFORM_PATH_LIMIT MAX_PATH
// The profile calls are mapped to checked ones, as <windows.h> maps its own names: a write is
// made on a staged copy of the file, read back and put in place whole, or fails leaving the file
// as it was (checked-write-win32.h); a read also remembers a file that is there but cannot be
// opened, and every later write of it fails. A file that defines PLATFORM_RAW_PROFILE_API first
// gets the real ones.
DWORD CheckedGetPrivateProfileString(LPCSTR AppName, LPCSTR KeyName, LPCSTR Default,
                                     LPSTR ReturnedString, DWORD Size, LPCSTR FileName);
BOOL CheckedWritePrivateProfileString(LPCSTR AppName, LPCSTR KeyName, LPCSTR String,
                                      LPCSTR FileName);
#ifndef PLATFORM_RAW_PROFILE_API
#define GetPrivateProfileStringA CheckedGetPrivateProfileString
#define WritePrivateProfileStringA CheckedWritePrivateProfileString
#endif
// The message box is mapped too: its text and caption, stored as code page 932 bytes, are shown
// converted from code page 932 through the wide-character box, so that they read right whatever
// the system's code page (MessageBoxA would read them in that code page). Where the conversion
// fails, the bytes go to MessageBoxA as they are. A file that defines PLATFORM_RAW_MESSAGE_BOX
// first gets the real MessageBoxA.
int MessageBoxCodePage932(HWND Owner, LPCSTR Text, LPCSTR Caption, UINT Type);
#ifndef PLATFORM_RAW_MESSAGE_BOX
#define MessageBoxA MessageBoxCodePage932
#endif
#else
#include <climits>
#include <cstdint>

typedef uint32_t DWORD;
typedef int BOOL;
typedef unsigned int UINT;
typedef unsigned char BYTE;
typedef uintptr_t ULONG_PTR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef struct PlatformModule* HMODULE;
typedef struct PlatformWindow* HWND;

#define TRUE 1
#define FALSE 0
#define CP_ACP 0
#define MB_OK 0x00
#define MB_ICONERROR 0x10
#define MB_ICONINFORMATION 0x40
#define IDOK 1
#define HELP_CONTEXT 0x0001
#define HELP_CONTENTS 0x0003

#define PLATFORM_PATH_LIMIT PATH_MAX

DWORD GetModuleFileNameA(HMODULE Module, LPSTR FileName, DWORD Size);
BOOL SetCurrentDirectoryA(LPCSTR PathName);
DWORD SearchPathA(LPCSTR Path, LPCSTR FileName, LPCSTR Extension, DWORD BufferLength,
                  LPSTR Buffer, LPSTR* FilePart);
DWORD GetPrivateProfileStringA(LPCSTR AppName, LPCSTR KeyName, LPCSTR Default,
                               LPSTR ReturnedString, DWORD Size, LPCSTR FileName);
BOOL WritePrivateProfileStringA(LPCSTR AppName, LPCSTR KeyName, LPCSTR String,
                                LPCSTR FileName);
int MessageBoxA(HWND Owner, LPCSTR Text, LPCSTR Caption, UINT Type);
BOOL WinHelpA(HWND Owner, LPCSTR HelpFile, UINT Command, ULONG_PTR Data);
BOOL IsDBCSLeadByteEx(UINT CodePage, BYTE TestChar);
// The process's ANSI code page: 932 under a Shift_JIS locale, 1252 under any other.
UINT GetACP();
#endif

// Prepares the process before the program's logic runs: on Windows, standard output's text mode;
// natively, the locale, whose Shift_JIS (or not) stands in for the ANSI code page 932 (or not).
void PlatformStartup();

// Writes a message text, stored as code page 932 bytes, to standard output, with no line end
// added. Windows writes the bytes unchanged in text mode (each LF becomes CR LF); natively the
// text is converted to the locale's encoding, and a line end is added on a terminal alone.
void WriteStandardOutput(const char* Text);
