#!/bin/sh
# Makes two folders holding names that Win32 cannot create (a tab, a newline), for tavik-verify's tests.
set -e
dir=$1
rm -rf "$dir"
for side in 1 2; do
    mkdir -p "$dir/$side"
    printf 1 > "$dir/$side/$(printf 'new\nline.txt')"
    printf 22 > "$dir/$side/$(printf 'tab\tname.txt')"
done
