#!/bin/sh
# Checks the manifest tavik-verify wrote in manifest_tests for the tree of odd names with coreutils' own sha256sum:
# every line OK, no line malformed, and the same lines as sha256sum writes for the files Windows can open (not those
# with control characters in their names).
set -e
dir=$1
cd "$dir/tree"
sha256sum --check --strict --quiet ../tavik.sha256
LC_ALL=C sort ../tavik.sha256 > ../tavik.sorted
LC_ALL=C sort ../coreutils-openable.sha256 > ../coreutils.sorted
cmp ../tavik.sorted ../coreutils.sorted
echo "$(wc -l < ../tavik.sha256) lines, every one OK and as sha256sum writes it"
