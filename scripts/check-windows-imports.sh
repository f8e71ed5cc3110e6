#!/usr/bin/env bash
# Fails when the Windows executable imports a DLL that a bare Windows does not have.
set -euo pipefail
exe=${1:-build-win/QorvWriter.exe}
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
status=0
for dll in $dlls; do
    case "${dll,,}" in
        kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | ntdll.dll | setupapi.dll | ws2_32.dll) ;;
        *) echo "$exe imports $dll, which Windows does not ship"; status=1 ;;
    esac
done
[ "$status" -eq 0 ] && echo "$exe imports only Windows DLLs: $(echo $dlls)"
exit "$status"
