#!/usr/bin/env bash
# The release archive as a Windows user meets it: written from this build, unpacked into an empty folder, its files,
# checksums, imports, version blocks, README and notices checked, and tavik.exe started and ended by 終了 in a fresh
# Wine prefix.
# Usage: package_test.sh BUILD_DIR OBJDUMP
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
build=$1
objdump=$2
work=$build/package-test
unpacked=$work/unpacked
fail() { log "package test: $*"; exit 1; }

rm -rf "$work"
mkdir -p "$unpacked" "$work/prefix"
zip=$(python3 "$TAVIK_ROOT/scripts/archive.py" "$build")
version=${zip##*/tavik-}
version=${version%-win64.zip}
log "checking $zip"

cd "$unpacked"
python3 -m zipfile -e "$zip" .
files=$(find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
[ "$files" = "LICENSE README.md SHA256SUMS THIRD-PARTY-NOTICES.txt docs/report.png docs/tavik.png tavik-verify.exe tavik.exe " ] ||
    fail "the archive holds: $files"
[ "$(cut -d' ' -f3- SHA256SUMS | tr '\n' ' ')" = "tavik.exe tavik-verify.exe " ] || fail "SHA256SUMS: $(cat SHA256SUMS)"
sha256sum --check --strict --quiet SHA256SUMS || fail "SHA256SUMS does not match the programs"

# DLLs every Windows has; a runtime of the compiler's own (libstdc++, libgcc, libwinpthread) would be missing there.
allowed=" kernel32.dll user32.dll gdi32.dll comctl32.dll comdlg32.dll shell32.dll shlwapi.dll advapi32.dll ole32.dll
    oleaut32.dll version.dll msvcrt.dll bcrypt.dll "
for exe in tavik.exe tavik-verify.exe; do
    dlls=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '[:upper:]' '[:lower:]')
    [ -n "$dlls" ] || fail "$exe: no imports found"
    for dll in $dlls; do
        [[ $allowed == *[[:space:]]$dll[[:space:]]* ]] || fail "$exe imports $dll, which is not a system DLL"
    done
done

check() { python3 "$TAVIK_ROOT/tests/package_check.py" "$@"; }
# Explorer's Details tab shows the numbers, --version prints the text: both must say what the archive's name says.
check versions "$version" tavik.exe tavik-verify.exe >"$work/versions.txt" || fail "$(cat "$work/versions.txt")"
# The user's README is read where it is unpacked: whatever it shows or names must be there too.
check readme README.md . "$TAVIK_ROOT" "$build" >"$work/readme.txt" || fail "$(cat "$work/readme.txt")"
for tool in Get-FileHash "certutil -hashfile"; do
    grep -q -- "$tool" README.md || fail "the README does not say how to check SHA256SUMS with $tool"
done
check notices THIRD-PARTY-NOTICES.txt "$build/tavik.map" "$build/tavik-verify.map" >"$work/notices.txt" ||
    fail "$(cat "$work/notices.txt")"

export WINEPREFIX=$work/prefix
# A fresh prefix takes some 700 MB; the logs stay for a look after a failure.
trap '"$WINESERVER" -k 2>/dev/null || true; rm -rf "$WINEPREFIX"' EXIT
"$WINESERVER" -p
start=$SECONDS
# Output goes to files: the prefix's services, started here, keep what they inherit open until the server ends.
"$WINE" wineboot -i </dev/null >"$work/wineboot.log" 2>&1 || fail "wineboot: $(cat "$work/wineboot.log")"
log "fresh prefix made in $((SECONDS - start)) s"

"$WINE" "$unpacked/tavik-verify.exe" --version </dev/null >"$work/version.txt" 2>"$work/version.err" ||
    fail "tavik-verify --version failed: $(cat "$work/version.err")"
[ "$(tr -d '\r' <"$work/version.txt")" = "tavik-verify $version" ] ||
    fail "tavik-verify --version printed '$(cat "$work/version.txt")', the archive's name says $version"

# The test that starts the program as a separate process and ends it by 終了, pointed at the unpacked program. Its
# copy in a folder of its own finds no tavik.exe beside it, so it can only have run the one it was pointed at.
mkdir "$work/driver"
cp "$build/tests/dialog_tests.exe" "$work/driver/"
TAVIK_PROGRAM="Z:${unpacked//\//\\}\\tavik.exe" "$WINE" "$work/driver/dialog_tests.exe" \
    --gtest_filter=Program.StartsShowsBothTreesAndEndsCleanlyOnExit </dev/null >"$work/dialog.log" 2>&1 ||
    fail "tavik.exe from the archive: $(cat "$work/dialog.log")"
grep -q '^\[  PASSED  \] 1 test\.' "$work/dialog.log" || fail "the start-up test did not run: $(cat "$work/dialog.log")"
log "archive checked in $SECONDS s"
