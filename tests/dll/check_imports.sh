#!/usr/bin/env bash
# Fails when the DLL imports anything but the system's own libraries, names a
# compiler runtime DLL anywhere in its file (its start-up code would look for
# one in the host), or lacks one of its undecorated exports (DllMain and the
# five server entry points).
set -euo pipefail
dll=$1
dump=$(${OBJDUMP:-objdump} -p "$dll")
allowed='^(KERNEL32|USER32|ADVAPI32|OLE32|OLEAUT32|NETAPI32|SHLWAPI|SHELL32|msvcrt|api-ms-win-crt-[a-z0-9-]+)\.dll$'
status=0
while read -r name; do
    if ! grep -qiE "$allowed" <<<"$name"; then
        echo "unexpected import: $name"; status=1
    fi
done < <(grep 'DLL Name:' <<<"$dump" | awk '{print $3}')
for runtime in libgcc_s_ libstdc++- libwinpthread- mingwm10; do
    if grep -qaiF "$runtime" "$dll"; then
        echo "names a runtime DLL: $runtime"; status=1
    fi
done
if ! grep -qE 'Subsystem.*\(Windows GUI\)' <<<"$dump"; then
    echo "not marked for the GUI subsystem"; status=1
fi
for e in DllMain DllCanUnloadNow DllGetClassObject DllInstall DllRegisterServer DllUnregisterServer; do
    if ! grep -qE "\] $e\$" <<<"$dump"; then
        echo "missing export: $e"; status=1
    fi
done
[ $status -eq 0 ] && echo "imports, exports and runtime names as expected"
exit $status
