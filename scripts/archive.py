#!/usr/bin/env python3
"""Writes the release archive for Windows users from a build folder and prints its path; run by scripts/package.

Usage: archive.py BUILD_DIR. The same commit built with the same toolchain gives the same bytes: fixed order, fixed
modes, and every entry dated with the commit's time (or SOURCE_DATE_EPOCH), never with the time of the build.

Besides the programs it writes three texts: the user's README, the parts of README.md between the markers below (so
the two never disagree); THIRD-PARTY-NOTICES.txt, the licences of the toolchain's libraries that the linker's maps
say went into the programs, copied from the installed packages' copyright files (so a toolchain update brings its
own texts); and SHA256SUMS.
"""
import fnmatch
import hashlib
import os
import re
import subprocess
import sys
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROGRAMS = ["tavik.exe", "tavik-verify.exe"]
# Files of the source tree that the user's README shows or links to, shipped at the same place so its links resolve.
DOCUMENTS = ["docs/tavik.png", "docs/report.png"]
README_BEGIN = "<!-- user-readme -->"
README_END = "<!-- /user-readme -->"


def fail(message):
    sys.exit("archive.py: " + message)


def version():
    with open(os.path.join(ROOT, "res", "version.h"), encoding="utf-8") as f:
        text = f.read()
    numbers = [re.search(r"^#define TAVIK_VERSION_%s (\d+)$" % part, text, re.M) for part in ("MAJOR", "MINOR")]
    if not all(numbers):
        fail("no TAVIK_VERSION_MAJOR and TAVIK_VERSION_MINOR in res/version.h")
    # Spelled as the header spells TAVIK_VERSION; the archive's test compares the name with what the programs say.
    return ".".join(n.group(1) for n in numbers)


def source_time():
    epoch = os.environ.get("SOURCE_DATE_EPOCH") or subprocess.run(
        ["git", "-C", ROOT, "log", "-1", "--format=%ct"], check=True, capture_output=True, text=True).stdout
    # Zip times carry no zone; UTC keeps them the same wherever the archive is made.
    return time.gmtime(int(epoch))[:6]


def user_readme():
    parts, part = [], None
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        for number, line in enumerate(f.read().split("\n"), 1):
            if line.strip() == README_BEGIN:
                if part is not None:
                    fail("README.md:%d: %s inside a part already begun" % (number, README_BEGIN))
                part = []
            elif line.strip() == README_END:
                if part is None:
                    fail("README.md:%d: %s without %s before it" % (number, README_END, README_BEGIN))
                parts.append("\n".join(part).strip("\n"))
                part = None
            elif part is not None:
                part.append(line)
    if part is not None:
        fail("README.md: the last %s is never ended" % README_BEGIN)
    if not parts:
        fail("README.md marks no part for the user's README with %s" % README_BEGIN)
    return "\n\n".join(parts) + "\n"


# Notices. A toolchain file the programs link that no rule below covers stops the packaging: a toolchain that starts
# linking something new cannot ship without that thing's licence.

def linked_files(build):
    """The toolchain's files that the linker took a piece of for either program: archives that gave a member, and
    object files it loaded whole (the start-up code)."""
    found = set()
    for program in PROGRAMS:
        path = os.path.join(build, program[:-len(".exe")] + ".map")
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
        except OSError as e:
            fail("%s: %s (the build writes it when it links %s)" % (path, e.strerror, program))
        found.update(re.findall(r"^(/[^\s(]+\.a)\(", text, re.M))
        found.update(re.findall(r"^LOAD (/\S+\.o)$", text, re.M))
    toolchain = {os.path.normpath(p) for p in found}
    return sorted(p for p in toolchain if not p.startswith((os.path.abspath(build) + os.sep, ROOT + os.sep)))


def package_of(path):
    for candidate in (path, os.path.realpath(path)):
        result = subprocess.run(["dpkg-query", "-S", candidate], capture_output=True, text=True)
        if result.returncode == 0:
            # "package[:arch][, other]: path"; the copyright file is named by the package alone.
            return result.stdout.split(": ", 1)[0].split(",")[0].split(":")[0].strip()
    fail("no installed package holds %s, so its licence cannot be found" % path)


def package_version(package):
    return subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], check=True, capture_output=True,
                          text=True).stdout


def gcc_runtime_texts(copyright):
    """GCC's copyright file is free text: its copyright statement, the list of libraries under the exception, and
    the exception itself."""
    pieces = [(r"^GCC is Copyright .*?for more details\.\n", "GCC's copyright statement"),
              (r"^The following runtime libraries are licensed .*?\n\n.*?\n(?=\n)", "the list of runtime libraries"),
              (r"^GCC RUNTIME LIBRARY EXCEPTION\n.*?^2\. No Weakening of GCC Copyleft\.\n\n.*?\n(?=\n)",
               "the GCC Runtime Library Exception")]
    texts = []
    for pattern, what in pieces:
        match = re.search(pattern, copyright, re.M | re.S)
        if not match:
            return None, what
        texts.append(match.group(0).rstrip("\n"))
    texts.append("The GNU General Public License, version 3, that these texts refer to:\n"
                 "https://www.gnu.org/licenses/gpl-3.0.txt")
    return "\n\n".join(texts), None


def dep5_paragraphs(copyright):
    """A machine-readable copyright file as (paragraph text, fields) in file order; a field's value keeps its
    continuation lines."""
    paragraphs = []
    for text in re.split(r"\n[ \t]*\n", copyright):
        fields, key = {}, None
        for line in text.strip("\n").split("\n"):
            if line[:1] in (" ", "\t") and key:
                fields[key] += "\n" + line
            else:
                match = re.match(r"([A-Za-z-]+):[ \t]*(.*)$", line)
                if match:
                    key = match.group(1)
                    fields[key] = match.group(2)
        if fields:
            paragraphs.append((text.strip("\n"), fields))
    return paragraphs


def dep5_texts(copyright, wanted, unwanted=()):
    """The Files paragraphs of a machine-readable copyright file whose patterns lie in the wanted places, then the
    stand-alone License paragraphs they name without giving the text themselves."""
    paragraphs = dep5_paragraphs(copyright)
    if not paragraphs or "Format" not in paragraphs[0][1]:
        return None, "a machine-readable copyright file"
    chosen, licences = [], []
    for text, fields in paragraphs:
        patterns = fields.get("Files", "").split()
        if not any(p == w or (w.endswith("/") and p.startswith(w)) for p in patterns for w in wanted):
            continue
        if any(p.startswith(u) for p in patterns for u in unwanted):
            continue
        chosen.append(text)
        licence = fields.get("License", "")
        if "\n" not in licence:
            licences += [name for name in re.split(r"\s+(?:and|or)\s+", licence.strip()) if name]
    if not chosen:
        return None, "paragraphs for %s" % ", ".join(wanted)
    texts = {fields["License"].split("\n")[0].strip(): text
             for text, fields in paragraphs if "Files" not in fields and "License" in fields}
    missing = [name for name in licences if name not in texts]
    if missing:
        return None, "the licence text of %s" % ", ".join(missing)
    named = set(licences)
    return "\n\n".join(chosen + [text for name, text in texts.items() if name in named]), None


class Runtime:
    def __init__(self, title, names, packages, texts):
        self.title, self.names, self.packages, self.texts = title, names, packages, texts

    def covers(self, path, package):
        name = os.path.basename(path)
        return any(fnmatch.fnmatchcase(name, n) for n in self.names) and \
            any(fnmatch.fnmatchcase(package, p) for p in self.packages)


RUNTIMES = [
    Runtime("GCC runtime: libgcc and libstdc++, under the GCC Runtime Library Exception",
            ["libgcc.a", "libgcc_eh.a", "libstdc++.a", "libsupc++.a", "crtbegin.o", "crtend.o"],
            ["gcc-mingw-w64-*", "g++-mingw-w64-*"], gcc_runtime_texts),
    Runtime("winpthreads: the MinGW-w64 POSIX threads library", ["libpthread.a", "libwinpthread.a"],
            ["mingw-w64-*"],
            lambda text: dep5_texts(text, ["mingw-w64-libraries/winpthreads/"],
                                    ["mingw-w64-libraries/winpthreads/tests_pthread/"])),
    # The C runtime's start-up code, libmingw32, libmingwex, and the import libraries of the system DLLs.
    Runtime("MinGW-w64 runtime: start-up code, C runtime additions and import libraries", ["*"], ["mingw-w64-*"],
            lambda text: dep5_texts(text, ["*", "mingw-w64-crt/"])),
]


def notices(build):
    sections = {}
    for path in linked_files(build):
        package = package_of(path)
        runtime = next((r for r in RUNTIMES if r.covers(path, package)), None)
        if runtime is None:
            fail("the programs link %s (package %s), which no notice rule covers: add one" % (path, package))
        files, packages = sections.setdefault(runtime.title, (set(), set()))
        files.add(os.path.basename(path))
        packages.add(package)
    out = ["Third-party notices for tavik.exe and tavik-verify.exe",
           "",
           "Tavik is under the MIT license in LICENSE. Both programs are linked statically with parts of the",
           "runtime of the compiler that built them, MinGW-w64 GCC; those parts are under the licences below, copied",
           "from the copyright files of the Debian packages they came from. \"Linked:\" names the files the linker",
           "took them from."]
    for runtime in RUNTIMES:
        if runtime.title not in sections:
            continue
        files, packages = sections[runtime.title]
        texts = []
        for package in sorted(packages):
            path = "/usr/share/doc/%s/copyright" % package
            try:
                with open(path, encoding="utf-8") as f:
                    text, missing = runtime.texts(f.read())
            except OSError as e:
                fail("%s: %s" % (path, e.strerror))
            if text is None:
                fail("%s no longer has %s; look at it and mend the rule for %s" % (path, missing, runtime.title))
            if text not in texts:
                texts.append(text)
        out += ["", "=" * 78, runtime.title, "Linked: " + ", ".join(sorted(files))]
        out += ["From: %s %s" % (p, package_version(p)) for p in sorted(packages)]
        out += ["=" * 78, ""]
        out.append("\n\n".join(texts))
    return "\n".join(out) + "\n"


def windows_text(text):
    # Notepad before Windows 10 shows a file of bare line feeds as one line.
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")


def main():
    build = sys.argv[1]
    stamp = source_time()
    files = {name: open(os.path.join(build, name), "rb").read() for name in PROGRAMS}
    # Two spaces between hash and name is what `sha256sum -c` reads; Get-FileHash users compare the hash column.
    files["SHA256SUMS"] = "".join(
        "%s  %s\n" % (hashlib.sha256(files[name]).hexdigest(), name) for name in PROGRAMS).encode()
    files["README.md"] = windows_text(user_readme())
    with open(os.path.join(ROOT, "LICENSE"), encoding="utf-8") as f:
        files["LICENSE"] = windows_text(f.read())
    files["THIRD-PARTY-NOTICES.txt"] = windows_text(notices(build))
    for name in DOCUMENTS:
        files[name] = open(os.path.join(ROOT, name), "rb").read()
    dist = os.path.join(build, "dist")
    os.makedirs(dist, exist_ok=True)
    path = os.path.join(dist, "tavik-%s-win64.zip" % version())
    with zipfile.ZipFile(path + ".tmp", "w") as archive:
        for name in PROGRAMS + ["README.md", "LICENSE", "THIRD-PARTY-NOTICES.txt", "SHA256SUMS"] + DOCUMENTS:
            entry = zipfile.ZipInfo(name, stamp)
            entry.create_system = 3
            entry.external_attr = (0o100755 if name.endswith(".exe") else 0o100644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, files[name], compresslevel=9)
    os.replace(path + ".tmp", path)
    print(path)


main()
