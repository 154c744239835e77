@echo off
rem install.cmd - registers Talvenor in notes.ini without any dialog, for deployment tools.
rem Usage: install.cmd "<folder that holds notes.ini>"
rem (uninstall.cmd runs this file with /U after the folder, to remove the entry instead.)
rem vorkap-setup.exe must lie beside this file; it is copied into that folder and run there.
rem Exit codes: 0 registered (or removed) and confirmed; 1 no notes.ini in the folder (or no
rem folder given), or the program found none; 2 notes.ini could not be updated, or the change
rem was not found after the run; 3 no free VIEWEXP slot; 1618 the host program is running
rem (deployment tools retry this code); 9009 vorkap-setup.exe is not beside this file.
rem Each run appends one line to the log; it holds the program's message in Shift_JIS.
setlocal EnableExtensions DisableDelayedExpansion

rem Settings: the host program's executable, and the log file (the environment variable
rem VORKAP_LOG, when set, names another one). uninstall.cmd uses them too.
set "HOST_EXE=notes.exe"
set "LOG=%ProgramData%\Talvenor\vorkap-setup.log"
if defined VORKAP_LOG set "LOG=%VORKAP_LOG%"

set "ACTION=install"
set "OPTIONS=/I"
if /i "%~2"=="/U" set "ACTION=uninstall"
if /i "%~2"=="/U" set "OPTIONS=/U /I"
set "FOLDER="
set "OUTCOME="
set "LINE="
set "WORK="
rem No parenthesised blocks below: a path with parentheses, such as
rem "C:\Program Files (x86)\...", expanded inside one would end the block early.

if "%~1"=="" goto noini
rem The full name of the folder, without a closing backslash.
for %%D in ("%~1\.") do set "FOLDER=%%~fD"
echo Talvenor %ACTION% in "%FOLDER%"
if not exist "%FOLDER%\notes.ini" goto noini

rem A work folder of this run's own, for the output of the commands run.
set "TRIES=0"
:workfolder
set /a TRIES+=1
if %TRIES% GTR 20 goto noworkfolder
set "WORK=%TEMP%\vorkap-setup-%RANDOM%"
mkdir "%WORK%" 2>nul
if errorlevel 1 goto workfolder

rem The host program rewrites notes.ini when it exits, which would undo the change.
"%SystemRoot%\System32\tasklist.exe" /NH /FO CSV /FI "IMAGENAME eq %HOST_EXE%" >"%WORK%\tasks" 2>nul
for /f "usebackq tokens=1 delims=," %%P in ("%WORK%\tasks") do if /i "%%~P"=="%HOST_EXE%" goto running
if not exist "%~dp0vorkap-setup.exe" goto missing

rem The first backup, from before the first change, is kept.
if exist "%FOLDER%\notes.ini.talvenor-backup" goto copyprogram
copy /y "%FOLDER%\notes.ini" "%FOLDER%\notes.ini.talvenor-backup" >nul
if errorlevel 1 goto nobackup
echo Saved notes.ini as notes.ini.talvenor-backup.

:copyprogram
if /i "%~dp0"=="%FOLDER%\" goto run
copy /y "%~dp0vorkap-setup.exe" "%FOLDER%\vorkap-setup.exe" >nul
:run
pushd "%FOLDER%"
"%FOLDER%\vorkap-setup.exe" %OPTIONS% >"%WORK%\out"
set "CODE=%ERRORLEVEL%"
popd
rem A help window that the program opens may keep its output file open: read a copy.
copy /y "%WORK%\out" "%WORK%\msg" >nul
type "%WORK%\msg"
rem The program's message ends without a line break.
echo.

if "%CODE%"=="0" goto confirm
if "%CODE%"=="1" goto notfound
if "%CODE%"=="2" goto notwritten
if "%CODE%"=="3" goto noslot
if "%CODE%"=="9009" goto missing
set "OUTCOME=status %CODE%"
echo FAILED %CODE%: vorkap-setup.exe did not run as expected.
goto end

:confirm
if "%ACTION%"=="uninstall" goto confirmremoved
set "WHY=does not hold the entry"
"%SystemRoot%\System32\find.exe" "Export HTML Files,1,_Vorkap,,.Htm,,1," "%FOLDER%\notes.ini" >"%WORK%\found"
if errorlevel 1 goto unconfirmed
rem find writes a line with the file's name, which begins with "-", then the lines found.
for /f "usebackq eol=- delims=" %%L in ("%WORK%\found") do if not defined LINE set "LINE=%%L"
set "OUTCOME=registered: "
echo OK: Talvenor is registered in notes.ini.
goto end

:confirmremoved
set "WHY=still holds the entry"
rem find ends with 1 when it reads notes.ini and does not find the entry.
"%SystemRoot%\System32\find.exe" "Export HTML Files,1,_Vorkap,,.Htm,,1," "%FOLDER%\notes.ini" >nul
if errorlevel 2 goto unconfirmed
if not errorlevel 1 goto unconfirmed
set "OUTCOME=removed"
echo OK: Talvenor's entry is removed from notes.ini.
goto end

:unconfirmed
set "CODE=2"
set "OUTCOME=not confirmed"
echo FAILED 2: the program ended with 0, but notes.ini %WHY%.
goto end

:noini
set "CODE=1"
set "OUTCOME=refused: no notes.ini"
echo FAILED 1: no notes.ini in the folder given. Nothing was run.
echo           Give the folder that holds notes.ini: %ACTION%.cmd "C:\Notes"
goto end

:running
set "CODE=1618"
set "OUTCOME=refused: %HOST_EXE% is running"
echo FAILED 1618: %HOST_EXE% is running. Nothing was written.
echo              Close it; deployment tools retry this code.
goto end

:noworkfolder
set "WORK="
set "CODE=2"
set "OUTCOME=not updated"
echo FAILED 2: no work folder could be made in "%TEMP%". Nothing was written.
goto end

:nobackup
set "CODE=2"
set "OUTCOME=not updated"
echo FAILED 2: notes.ini could not be copied to notes.ini.talvenor-backup. Nothing was written.
goto end

:missing
set "CODE=9009"
set "OUTCOME=program missing"
echo FAILED 9009: vorkap-setup.exe was not found beside %ACTION%.cmd.
goto end

:notfound
set "OUTCOME=notes.ini not found"
echo FAILED 1: the program found no notes.ini. Nothing was written.
goto end

:notwritten
set "OUTCOME=not updated"
echo FAILED 2: notes.ini could not be updated.
echo           Check write permission on notes.ini, close Notes, run again.
goto end

:noslot
set "OUTCOME=no free slot"
echo FAILED 3: VIEWEXP5 to VIEWEXP31 are all in use. Nothing was written.
echo           Remove an export format that is not needed and run again.
goto end

:end
call :log
if defined WORK rd /s /q "%WORK%" >nul 2>&1
endlocal & exit /b %CODE%

rem One line for this run, with the program's message (its lines joined by blanks) when it ran.
rem Delayed expansion keeps the characters of folder names and of the message as they are
rem (a %TEMP% whose name holds "!" only loses the message).
:log
for %%F in ("%LOG%") do set "LOGDIR=%%~dpF"
if not exist "%LOGDIR%" mkdir "%LOGDIR%"
setlocal EnableDelayedExpansion
set "MESSAGE="
if defined WORK if exist "%WORK%\msg" for /f "usebackq delims=" %%L in ("%WORK%\msg") do set "MESSAGE=!MESSAGE! %%L"
if defined MESSAGE set "MESSAGE= |!MESSAGE!"
>>"!LOG!" echo !DATE! !TIME! ^| !ACTION! ^| !FOLDER! ^| exit !CODE! ^| !OUTCOME!!LINE!!MESSAGE!
endlocal
exit /b 0
