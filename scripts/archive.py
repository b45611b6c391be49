#!/usr/bin/env python3
"""Writes the release archive for Windows users from a build folder and prints its path; run by scripts/package.

Usage: archive.py BUILD_DIR. The same commit gives the same bytes: fixed order, fixed modes, and every entry dated
with the commit's time (or SOURCE_DATE_EPOCH), never with the time of the build.
"""
import hashlib
import os
import re
import subprocess
import sys
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROGRAMS = ["tavik.exe", "tavik-verify.exe"]


def version():
    with open(os.path.join(ROOT, "res", "version.h"), encoding="utf-8") as f:
        match = re.search(r'^#define TAVIK_VERSION "([^"]+)"', f.read(), re.M)
    if not match:
        sys.exit("archive.py: no TAVIK_VERSION in res/version.h")
    return match.group(1)


def source_time():
    epoch = os.environ.get("SOURCE_DATE_EPOCH") or subprocess.run(
        ["git", "-C", ROOT, "log", "-1", "--format=%ct"], check=True, capture_output=True, text=True).stdout
    # Zip times carry no zone; UTC keeps them the same wherever the archive is made.
    return time.gmtime(int(epoch))[:6]


def main():
    build = sys.argv[1]
    stamp = source_time()
    files = {name: open(os.path.join(build, name), "rb").read() for name in PROGRAMS}
    # Two spaces between hash and name is what `sha256sum -c` reads; Get-FileHash users compare the hash column.
    files["SHA256SUMS"] = "".join(
        "%s  %s\n" % (hashlib.sha256(files[name]).hexdigest(), name) for name in PROGRAMS).encode()
    for name in ("README.md", "LICENSE"):
        files[name] = open(os.path.join(ROOT, name), "rb").read()
    dist = os.path.join(build, "dist")
    os.makedirs(dist, exist_ok=True)
    path = os.path.join(dist, "tavik-%s-win64.zip" % version())
    with zipfile.ZipFile(path + ".tmp", "w") as archive:
        for name in PROGRAMS + ["README.md", "LICENSE", "SHA256SUMS"]:
            entry = zipfile.ZipInfo(name, stamp)
            entry.create_system = 3
            entry.external_attr = (0o100755 if name.endswith(".exe") else 0o100644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, files[name], compresslevel=9)
    os.replace(path + ".tmp", path)
    print(path)


main()
