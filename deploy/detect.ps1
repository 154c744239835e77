# detect.ps1 - detection script for Intune and Configuration Manager: writes "registered" and
# exits 0 when notes.ini holds Talvenor's entry (the same text, case-sensitive, as install.cmd
# confirms); writes nothing and exits 0 otherwise, a missing notes.ini included.
# Set the path of notes.ini on the next line; nothing else needs editing.
$NotesIni = 'C:\Notes\notes.ini'
if (Select-String -LiteralPath $NotesIni -SimpleMatch -CaseSensitive -Quiet -ErrorAction SilentlyContinue `
        -Pattern 'Export HTML Files,1,_Vorkap,,.Htm,,1,') {
    'registered'
}
exit 0
