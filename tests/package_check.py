#!/usr/bin/env python3
"""The release archive's checks that need no Wine, run by package_test.sh on the unpacked archive.

  package_check.py versions VERSION EXE...    every program's version block says VERSION, in numbers and texts (so
                                              the programs also agree with each other)
  package_check.py readme README UNPACKED SOURCE BUILD
                                              every link resolves inside the archive, no line names a file of the
                                              source tree or the build that the archive lacks
  package_check.py notices NOTICES MAP...     every toolchain file the link maps name is named in the notices, and
                                              each runtime known here comes with its licence text

Each prints what is wrong, one line each, and exits 1 when anything is.
"""
import os
import re
import struct
import sys

RT_VERSION = 16


def version_blocks(path):
    """The version resources of a PE file as Windows reads them: (fixed file version, fixed product version,
    {key: text} of every string table)."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    sections, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    directories = optional + (112 if struct.unpack_from("<H", data, optional)[0] == 0x20B else 96)
    resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    table = optional + optional_size

    def offset(rva):
        for i in range(sections):
            size, address, raw_size, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError("RVA 0x%x lies in no section" % rva)

    root = offset(resource_rva)

    def entries(directory):
        named, ids = struct.unpack_from("<HH", data, root + directory + 12)
        return [struct.unpack_from("<II", data, root + directory + 16 + 8 * i) for i in range(named + ids)]

    def leaves(target):
        if target & 0x80000000:
            return [leaf for _, t in entries(target & 0x7FFFFFFF) for leaf in leaves(t)]
        rva, size = struct.unpack_from("<II", data, root + target)
        return [data[offset(rva):offset(rva) + size]]

    blocks = []
    for type_id, target in entries(0):
        if type_id == RT_VERSION:
            blocks += [parse_version_info(block) for block in leaves(target)]
    return blocks


def parse_version_info(block):
    def node(at):
        length, value_length, kind = struct.unpack_from("<HHH", block, at)
        end = block.index(b"\0\0", at + 6)
        while (end - at - 6) % 2:
            end = block.index(b"\0\0", end + 1)
        key = block[at + 6:end].decode("utf-16-le")
        value = (end + 2 + 3) & ~3
        value_bytes = value_length * 2 if kind == 1 else value_length
        children, child = [], (value + value_bytes + 3) & ~3
        while child < at + length:
            children.append(node(child))
            child = (child + children[-1][3] + 3) & ~3
        return key, block[value:value + value_bytes], children, length

    key, fixed, children, _ = node(0)
    if key != "VS_VERSION_INFO" or struct.unpack_from("<I", fixed)[0] != 0xFEEF04BD:
        raise ValueError("no VS_FIXEDFILEINFO")
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", fixed, 8)
    spell = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    strings = {}
    for child_key, _, tables, _ in children:
        if child_key == "StringFileInfo":
            for _, _, values, _ in tables:
                for name, text, _, _ in values:
                    strings.setdefault(name, set()).add(text.decode("utf-16-le").rstrip("\0"))
    return spell(file_ms, file_ls), spell(product_ms, product_ls), strings


def check_versions(version, programs):
    numbers = (version.split(".") + ["0"] * 4)[:4]
    expected = (".".join(numbers), ".".join(numbers), {"FileVersion": {version}, "ProductVersion": {version}})
    problems = []
    for program in programs:
        blocks = version_blocks(program)
        if len(blocks) != 1:
            problems.append("%s: %d version blocks" % (program, len(blocks)))
            continue
        fixed_file, fixed_product, strings = blocks[0]
        said = (fixed_file, fixed_product,
                {k: strings.get(k, set()) for k in ("FileVersion", "ProductVersion")})
        if said != expected:
            problems.append("%s: FILEVERSION %s, PRODUCTVERSION %s, FileVersion %s, ProductVersion %s; the archive's "
                            "name says %s" % (program, fixed_file, fixed_product,
                                              "/".join(sorted(said[2]["FileVersion"])) or "none",
                                              "/".join(sorted(said[2]["ProductVersion"])) or "none", version))
    return problems


def slug(heading):
    # How GitHub names a heading's anchor.
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def check_readme(readme, unpacked, source, build):
    with open(readme, encoding="utf-8") as f:
        lines = f.read().replace("\r\n", "\n").split("\n")
    anchors = {slug(m.group(1)) for m in (re.match(r"#+\s+(.*)", line) for line in lines) if m}
    in_archive = lambda name: os.path.exists(os.path.join(unpacked, name))
    problems = []
    for number, line in enumerate(lines, 1):
        said = lambda what: problems.append("%s:%d: %s: %s" % (os.path.basename(readme), number, what, line.strip()))
        targets = re.findall(r"\]\(([^)\s]+)", line)
        for target in targets:
            if target.startswith("#"):
                if target[1:] not in anchors:
                    said("links to #%s, a heading it does not have" % target[1:])
            elif not re.match(r"[a-z][a-z0-9+.-]*:", target) and not in_archive(target.split("#")[0]):
                said("links to %s, which the archive does not hold" % target)
        # Whatever else could name a file: code spans, and words with a folder separator or an extension.
        words = [w for span in re.findall(r"`([^`]+)`", line) for w in span.split()]
        words += re.findall(r"[\w.\\/-]*[\\/][\w.\\/-]*|[\w-]+\.[A-Za-z]\w*", line)
        for name in dict.fromkeys(w.strip(".,;:()[]'\"*").replace("\\", "/") for w in words):
            if not name or name.startswith("/") or ".." in name.split("/") or in_archive(name):
                continue
            # A path into one of the source tree's folders counts even where it does not exist (yet).
            inside = "/" in name and os.path.isdir(os.path.join(source, name.split("/")[0]))
            if inside or os.path.exists(os.path.join(source, name)) or os.path.exists(os.path.join(build, name)):
                said("names %s, which the archive does not hold" % name)
    return problems


# The runtimes every build links, and a phrase of the licence text each must come with.
RUNTIMES = [("libstdc++", ["libstdc++.a"], "GCC RUNTIME LIBRARY EXCEPTION"),
            ("libgcc", ["libgcc.a", "libgcc_eh.a"], "GCC RUNTIME LIBRARY EXCEPTION"),
            ("winpthreads", ["libpthread.a", "libwinpthread.a"], "Files: mingw-w64-libraries/winpthreads/*")]


def check_notices(notices, maps):
    with open(notices, encoding="utf-8") as f:
        text = f.read().replace("\r\n", "\n")
    # A section: a rule, its title, "Linked:" and "From:" lines, a rule, then its texts up to the next rule.
    sections = re.findall(r"^=+\n([^\n]*)\nLinked: ([^\n]*)\n(?:From: [^\n]*\n)+=+\n(.*?)(?=^=+\n|\Z)", text,
                          re.M | re.S)
    named = {name: (title, texts) for title, linked, texts in sections for name in linked.split(", ")}
    linked = set()
    for path in maps:
        with open(path, encoding="utf-8", errors="replace") as f:
            link_map = f.read()
        linked.update(os.path.basename(p) for p in re.findall(r"^(/[^\s(]+\.a)\(", link_map, re.M))
        linked.update(os.path.basename(p) for p in re.findall(r"^LOAD (/\S+\.o)$", link_map, re.M))
    problems = ["%s: the programs link %s, which it does not name" % (os.path.basename(notices), name)
                for name in sorted(linked - set(named))]
    for runtime, files, phrase in RUNTIMES:
        present = [f for f in files if f in linked]
        if not present:
            problems.append("the link maps show no %s (%s): is the check still right?" % (runtime, ", ".join(files)))
        for name in present:
            title, texts = named.get(name, ("", ""))
            if name in named and (runtime not in title or phrase not in texts):
                problems.append("%s: the section for %s does not name %s with its licence (%s)"
                                % (os.path.basename(notices), name, runtime, phrase))
    return problems


def main():
    command, args = sys.argv[1], sys.argv[2:]
    if command == "versions":
        problems = check_versions(args[0], args[1:])
    elif command == "readme":
        problems = check_readme(*args)
    elif command == "notices":
        problems = check_notices(args[0], args[1:])
    else:
        sys.exit("package_check.py: unknown check " + command)
    for problem in problems:
        print(problem)
    sys.exit(1 if problems else 0)


main()
