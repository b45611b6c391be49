#!/bin/sh
# Makes folders holding names that Win32 cannot create (a tab, a newline, a backslash), and with a second argument
# a tree too large to list at once, for the tests of both programs.
set -e
dir=$1
rm -rf "$dir"
for side in 1 2; do
    mkdir -p "$dir/$side/d" "$dir/$side/k\\l"
    printf 1 > "$dir/$side/$(printf 'new\nline.txt')"
    printf 22 > "$dir/$side/$(printf 'tab\tname.txt')"
    printf 4444 > "$dir/$side/$(printf 'esc\033[31m.txt')"
    # "d\f" differs between the sides, the file f in folder d does not: a path joined from the name finds the latter.
    printf "Y$side" > "$dir/$side/d\\f"
    printf X > "$dir/$side/d/f"
    printf 1 > "$dir/$side/k\\l/inner"
done
printf 333 > "$dir/2/only\\2"
# Links to folders whose contents differ, and in each a link to its own folder and one to the folder two levels up
# (Wine cannot make links itself).
for side in 1 2; do
    mkdir -p "$dir/links/$side/target/sub"
    ln -s .. "$dir/links/$side/target/sub/attr-400-back"
    printf "$side" > "$dir/links/$side/target/f"
    ln -s target "$dir/links/$side/lnk"
    ln -s . "$dir/links/$side/target/attr-400-up"
done
if [ -n "$2" ]; then
    # 22,650 folders: listing them under Wine takes seconds, ample time for a Ctrl+C to land in the listing.
    mkdir -p "$dir/tree"
    cd "$dir/tree"
    seq 1 150 | xargs mkdir
    for i in $(seq 1 150); do (cd "$i" && seq 1 150 | xargs mkdir); done
fi
