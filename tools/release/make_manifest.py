#!/usr/bin/env python3
"""Turns a release archive into the installer's compiled-in payload manifest.

    make_manifest.py --archive Pelorin-Windows-0.5.0-win-x64.zip --out manifest.cpp

The archive is checked against the installer's acceptance rules first (root
folder, entry names, name set, DEFLATE regular files only, flags, attributes,
sizes, headers, CRC-32); an archive the installer would refuse is refused here
too, with exit status 1 and one message naming the entry and the rule.

The C++ file lists one row per file (name relative to the root folder, size,
SHA-256) in ascending byte order of name, followed by the count, the total
size, and the size and SHA-256 of the archive itself. It is rewritten only
when its content changes, so an unchanged archive does not cause a rebuild.
"""

import argparse
import hashlib
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import release_rules as rules  # noqa: E402


def c_string(name):
    """A C++ string literal for a byte string: printable ASCII as is, '\\' and
    '"' escaped, every other byte as a three-digit octal escape (an octal
    escape stops after three digits, so a following digit cannot extend it)."""
    out = ['"']
    for b in name:
        if b in (0x5C, 0x22):
            out.append("\\" + chr(b))
        elif 0x20 <= b < 0x7F:
            out.append(chr(b))
        else:
            out.append("\\%03o" % b)
    out.append('"')
    return "".join(out)


def render(archive_name, archive, entries):
    rows = sorted(entries, key=lambda e: e.name)
    lines = [
        "// Generated from %s by tools/release/make_manifest.py. Do not edit." % archive_name,
        '#include "payload/manifest.h"',
        "",
        "namespace pelorin::setup {",
        "",
        "const PayloadEntry PayloadManifest[] = {",
    ]
    for e in rows:
        lines.append('    {%s, %du, "%s"},' % (c_string(e.name), e.size, e.sha256))
    lines += [
        "};",
        "const std::size_t PayloadEntryCount = %d;" % len(rows),
        "const std::uint64_t PayloadTotalBytes = %du;" % sum(e.size for e in rows),
        "const std::uint64_t ReleaseArchiveSize = %du;" % len(archive),
        'const char ReleaseArchiveSha256[] = "%s";' % hashlib.sha256(archive).hexdigest(),
        "",
        "}  // namespace pelorin::setup",
        "",
    ]
    return "\n".join(lines)


def write_if_changed(path, text):
    data = text.encode("utf-8")  # the text is pure ASCII; names are escaped
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return False
    except FileNotFoundError:
        pass
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)
    return True


def main(argv=None):
    parser = argparse.ArgumentParser(description="Generates the payload manifest from a release archive.")
    parser.add_argument("--archive", required=True, help="the release archive (.zip)")
    parser.add_argument("--out", required=True, help="the C++ source file to write")
    args = parser.parse_args(argv)

    try:
        with open(args.archive, "rb") as f:
            archive = f.read()
    except OSError as exc:
        print("make_manifest: cannot read %s: %s" % (args.archive, exc), file=sys.stderr)
        return 2
    try:
        entries = rules.read_release(archive)
    except rules.ReleaseError as exc:
        print("make_manifest: %s: refused: %s" % (args.archive, exc), file=sys.stderr)
        return 1
    write_if_changed(args.out, render(os.path.basename(args.archive), archive, entries))
    return 0


if __name__ == "__main__":
    sys.exit(main())
