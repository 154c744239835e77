@echo off
rem uninstall.cmd - removes Talvenor's entry from notes.ini without any dialog, for deployment
rem tools. Usage: uninstall.cmd "<folder that holds notes.ini>"
rem The plug-in's own files are not removed.
rem The steps, the settings (HOST_EXE, LOG) and the exit codes are those of install.cmd, which
rem must lie beside this file: it runs the program with /U /I, and confirms that the entry is
rem gone. Exit codes: 0 removed and confirmed; 1 no notes.ini in the folder (or no folder
rem given), or the program found none; 2 notes.ini could not be updated, or the entry was still
rem found after the run; 1618 the host program is running (deployment tools retry this code);
rem 9009 vorkap-setup.exe (or install.cmd) is not beside this file.
rem Control passes to install.cmd for good (no call), so its exit code is this file's.
if not exist "%~dp0install.cmd" exit /b 9009
"%~dp0install.cmd" "%~1" /U
