#!/usr/bin/env bash
# The descriptor-cache backup on the real registry: the probe creates a
# usbflags key with values of several types (odd sizes, no terminators, names
# holding '"' and '\', a subkey), deletes it through the repair's own
# operation, which writes the .reg backup first; `reg import` of that file
# brings back every value byte for byte, and `reg query` shows the same.
# Usage: registry_backup.sh registry_backup_probe.exe WINEPREFIX WINE
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lib.sh
. "$here/lib.sh"

ensure_prefix

key='HKLM\SYSTEM\CurrentControlSet\Control\usbflags\2A7D5E3C0102'
dir=$(mktemp -d "$(dirname "$WINEPREFIX")/wine-backup.XXXXXX")
cp "$WINE_EXE_SRC" "$dir/registry_backup_probe.exe"
probe() { ( cd "$dir" && "$WINE" "$dir/registry_backup_probe.exe" "$@" ); }

wine_reg delete "$key" /f
probe create
check "the key is created" [ $? -eq 0 ]
probe dump > "$dir/before.txt"
"$WINE" reg query "$key" /s > "$dir/query_before.txt" 2>/dev/null
check "the dump lists the values" [ "$(grep -c ' type ' "$dir/before.txt")" -eq 16 ]

probe delete > "$dir/delete.txt"
check "the deletion wrote its backup" [ $? -eq 0 ]
cat "$dir/delete.txt"
check "the Info line names the backup" grep -q 'Registry backup written: ' "$dir/delete.txt"
check "the key is deleted" grep -q 'USB descriptor cache deleted' "$dir/delete.txt"
check "the key is gone" bash -c "! '$WINE' reg query '$key' >/dev/null 2>&1"

# The backup goes where only administrators write, never beside the
# executable: C:\ProgramData\VQ4_Diag\Backups (ProgramData as the shell names it).
windows_path=$(sed -n 's/^BACKUP //p' "$dir/delete.txt" | tr -d '\r')
check "the backup is in the protected folder" \
    bash -c "printf '%s' '$windows_path' | grep -qE '^C:\\\\ProgramData\\\\VQ4_Diag\\\\Backups\\\\VQ4_Diag_Backup_[0-9]{8}_[0-9]{6}\\.reg$'"
check "no backup beside the executable" [ -z "$(ls "$dir" | grep '^VQ4_Diag_Backup_')" ]
backups="$WINEPREFIX/drive_c/ProgramData/VQ4_Diag/Backups"
name=$(basename "$(printf '%s' "$windows_path" | tr '\\' /)")
check "the file named is there" [ -f "$backups/$name" ]
cp "$backups/$name" "$dir/$name"
check "UTF-16LE with a byte order mark" [ "$(head -c 2 "$dir/$name" | od -An -tx1 | tr -d ' ')" = "fffe" ]

( cd "$dir" && "$WINE" reg import "$name" >/dev/null 2>&1 )
check "reg import accepts the file" [ $? -eq 0 ]
wineserver_wait
probe dump > "$dir/after.txt"
"$WINE" reg query "$key" /s > "$dir/query_after.txt" 2>/dev/null
# Wine's reg import re-terminates a REG_SZ given as hex(1) data of odd size
# (3 bytes come back as 5); the file holds the exact bytes, as the check on
# its text shows, and every other value comes back byte for byte.
check "the file holds the odd-sized text's exact bytes" \
    bash -c "iconv -f UTF-16 -t UTF-8 '$dir/$name' | tr -d '\r' | grep -qx '\"OddSize\"=hex(1):41,00,42'"
check "the file holds a quoted name with its escapes" \
    bash -c "iconv -f UTF-16 -t UTF-8 '$dir/$name' | grep -q '^\"Quote\\\\\"And\\\\\\\\Backslash\"=\"C:'"
check "every other value back byte for byte" \
    diff <(grep -v '"OddSize"' "$dir/before.txt") <(grep -v '"OddSize"' "$dir/after.txt")
check "reg query shows the same values" \
    diff <(grep -v 'OddSize' "$dir/query_before.txt") <(grep -v 'OddSize' "$dir/query_after.txt")
check "reg query listed them" grep -q 'IgnoreHWSerNum' "$dir/query_after.txt"

wine_reg delete "$key" /f
rm -rf "$dir"
finish
