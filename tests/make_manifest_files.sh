#!/bin/sh
# Makes the files the manifest tests hash, natively: sizes around one 1 MiB slot and a sparse file past 4 GiB with
# their digests from Python's hashlib, a tree of odd names (a newline, a carriage return, a leading dash,
# Japanese, nesting) with what coreutils' sha256sum writes for it, and a copy of a real tree to audit.
set -e
dir=$1
rm -rf "$dir"
mkdir -p "$dir/sizes"
python3 - "$dir/sizes" <<'PY'
import hashlib, os, sys
folder = sys.argv[1]
slot = 0x100000
pattern = bytes((i * 7 + 3) & 255 for i in range(256)) * (slot // 256 + 1)
sizes = {"empty": 0, "one": 1, "slot": slot, "slot-and-one": slot + 1}
for name, size in sizes.items():
    with open(os.path.join(folder, name), "wb") as f:
        f.write(pattern[:size])
# Past 4 GiB by a slot and a byte, mostly a hole, with bytes on both sides of the 4 GiB mark and at the end.
big = 0x100000000 + slot + 1
with open(os.path.join(folder, "sparse-4g"), "wb") as f:
    f.truncate(big)
    for offset in (0, 0xFFFFFFFF, 0x100000000, big - 1):
        f.seek(offset)
        f.write(b"\x5a")
with open(os.path.join(folder, "..", "sizes.sha256"), "w", newline="\n") as out:
    for name in list(sizes) + ["sparse-4g"]:
        h = hashlib.sha256()
        with open(os.path.join(folder, name), "rb") as f:
            for block in iter(lambda: f.read(16 * slot), b""):
                h.update(block)
        out.write(f"{h.hexdigest()}  {name}\n")
PY
# A real tree of a few hundred files in nested folders, links followed: the message catalogues of three languages.
mkdir -p "$dir/real"
cp -RL /usr/share/locale/de /usr/share/locale/ja /usr/share/locale/sv "$dir/real/"
chmod -R u+w "$dir/real"
t=$dir/tree
mkdir -p "$t/sub/深い" "$t/sub/a b" "$t/k\\l"
printf 1 > "$t/space name.txt"
printf 22 > "$t/ leading and trailing "
printf 333 > "$t/-dash.txt"
printf 4444 > "$t/日本語のファイル.txt"
printf 55555 > "$t/$(printf 'new\nline.txt')"
printf 666666 > "$t/$(printf 'cr\rname.txt')"
printf 7 > "$t/#hash.txt"
printf 8 > "$t/emoji 😀.txt"
: > "$t/empty"
printf 9 > "$t/sub/深い/nested.txt"
printf 10 > "$t/sub/a b/c.txt"
# Names holding a backslash: a listing never joins them into a path, so no manifest can list them.
printf 11 > "$t/back\\slash.txt"
printf 12 > "$t/k\\l/inner"
cd "$t"
# Every file coreutils can name, newline and carriage return escaped, in both of its modes; and those Windows can
# open too (no control characters), which a manifest written through Win32 must hold exactly.
find . -type f ! -path '*\\*' -printf '%P\0' | LC_ALL=C sort -z | xargs -0 sha256sum -- > ../coreutils.sha256
find . -type f ! -path '*\\*' -printf '%P\0' | LC_ALL=C sort -z | xargs -0 sha256sum --binary -- > ../coreutils-binary.sha256
find . -type f ! -path '*\\*' ! -name '*[[:cntrl:]]*' -printf '%P\0' | xargs -0 sha256sum -- > ../coreutils-openable.sha256
