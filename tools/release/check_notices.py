#!/usr/bin/env python3
"""Checks that the setup program carries the licence notice of everything
third-party that its link put into it.

What went in is read from the build, not from a list: the linker's map names
every object file and every archive member it took, and the compiler's
dependency records (ninja's deps log) name every header our own objects were
compiled from. Each of those files belongs to our source or build tree, to a
Debian package, or to neither (a vendored header such as miniz.h). A Debian
package's notice is the copyright file it installs; a vendored file's notice
is its licence comments. Every such text must appear in the notices resource
(RCDATA 301) read from the executable itself.

Usage: check_notices.py --exe Pelorin-Setup-0.5.0.exe --map setup.map --build BUILD --source SOURCE
Exit status 0 when every notice is present, 1 with the missing ones listed.
"""
import argparse
import os
import re
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources"))

import make_notices  # noqa: E402

RT_RCDATA = 10
NOTICES_ID = 301


class CheckError(Exception):
    pass


# ---------------------------------------------------------------------------
# The notices resource of a PE file.

def _resource_entries(image, base, offset):
    named, ids = struct.unpack_from("<HH", image, base + offset + 12)
    for i in range(named + ids):
        name, target = struct.unpack_from("<II", image, base + offset + 16 + 8 * i)
        yield name, target


def read_rcdata(path, resource_id):
    """The bytes of the RCDATA resource `resource_id` (first language) of a PE32+ file."""
    with open(path, "rb") as f:
        image = f.read()
    try:
        (pe,) = struct.unpack_from("<I", image, 0x3C)
        if image[pe:pe + 4] != b"PE\0\0":
            raise CheckError(f"{path} is no PE file")
        sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
        optional = pe + 24
        if struct.unpack_from("<H", image, optional)[0] != 0x20B:
            raise CheckError(f"{path} is no PE32+ file")
        rva, size = struct.unpack_from("<II", image, optional + 112 + 2 * 8)
        if size == 0:
            raise CheckError(f"{path} has no resources")
        table = []
        for i in range(sections):
            _, vsize, vaddr, raw_size, raw = struct.unpack_from("<8sIIII", image, optional + optional_size + 40 * i)
            table.append((vaddr, max(vsize, raw_size), raw))

        def file_offset(address):
            for vaddr, extent, raw in table:
                if vaddr <= address < vaddr + extent:
                    return raw + address - vaddr
            raise CheckError(f"{path}: address {address:#x} lies in no section")

        base = file_offset(rva)
        offset = 0
        for wanted in (RT_RCDATA, resource_id, None):
            for name, target in _resource_entries(image, base, offset):
                if wanted is None or name == wanted:
                    offset = target & 0x7FFFFFFF
                    break
            else:
                raise CheckError(f"{path} has no RCDATA resource {resource_id}")
        data_rva, data_size = struct.unpack_from("<II", image, base + offset)
        start = file_offset(data_rva)
        return image[start:start + data_size]
    except struct.error as exc:
        raise CheckError(f"{path}: damaged PE headers ({exc})") from exc


# ---------------------------------------------------------------------------
# What the link took.

def linked_files(map_text):
    """Archives that gave members, and object files loaded directly, as the map names them."""
    files = []
    lines = map_text.splitlines()
    try:
        start = lines.index("Archive member included to satisfy reference by file (symbol)")
    except ValueError:
        start = None
    if start is not None:
        for line in lines[start + 1:]:
            if line.startswith(("Discarded input sections", "Memory Configuration", "Linker script")):
                break
            # "archive(member)", alone on its line or, when short, followed by
            # the file and symbol that pulled it in.
            match = re.match(r"^([^\s(]+)\(([^\s()]+)\)(?:\s|$)", line)
            if match:
                files.append((match.group(1), match.group(2)))
    for line in lines:
        match = re.match(r"^LOAD (.*\.(?:o|obj|res))$", line)
        if match:
            files.append((match.group(1), None))
    return files


def compiled_headers(build, objects):
    """Every file the compiler read for `objects`, from ninja's deps log."""
    if not objects:
        return []
    out = subprocess.run(["ninja", "-C", build, "-t", "deps", *objects], capture_output=True, text=True)
    if out.returncode != 0:
        raise CheckError(f"ninja -t deps failed: {out.stderr.strip()}")
    return [line.strip() for line in out.stdout.splitlines() if line.startswith("    ")]


def archive_objects(build, archive, members):
    """The object files of our own archive that the link took, by member name."""
    out = subprocess.run(["ninja", "-C", build, "-t", "query", archive], capture_output=True, text=True)
    if out.returncode != 0:
        raise CheckError(f"ninja -t query {archive} failed: {out.stderr.strip()}")
    inputs = [line.strip() for line in out.stdout.splitlines() if line.startswith("    ") and
              line.strip().endswith((".obj", ".o"))]
    return [path for path in inputs if os.path.basename(path) in members]


def inside(path, folder):
    return os.path.commonpath([os.path.realpath(path), os.path.realpath(folder)]) == os.path.realpath(folder)


# ---------------------------------------------------------------------------
# The check.

def normalised(text):
    return text.replace("\r\n", "\n")


def missing_notices(third_party, notices):
    """`third_party`: file paths outside our trees. Returns (origins, problems):
    what each origin is, and one line per origin whose notice is missing."""
    notices = normalised(notices)
    packages = {}
    vendored = []
    paths = sorted(set(third_party))
    owners = make_notices.owning_packages(paths)
    for path in paths:
        package = owners.get(path)
        if package is None:
            vendored.append(path)
        else:
            packages.setdefault(package, []).append(path)
    problems = []
    for package, paths in sorted(packages.items()):
        try:
            text = normalised(make_notices.package_licence(package)).rstrip()
        except OSError:
            problems.append(f"package {package} (for {paths[0]}) installs no copyright file")
            continue
        if text not in notices:
            problems.append(f"no notice of the package {package} (for {paths[0]}, {len(paths)} file(s))")
    for path in vendored:
        blocks = make_notices.licence_comments(path)
        if not blocks:
            problems.append(f"{path} belongs to no package and carries no licence text")
        elif any(normalised(block) not in notices for block in blocks):
            problems.append(f"no notice of {os.path.basename(path)} ({path})")
    origins = sorted(packages) + [os.path.basename(p) for p in vendored]
    return origins, problems


def third_party_inputs(map_path, build, source):
    with open(map_path, encoding="utf-8", errors="replace") as f:
        linked = linked_files(f.read())
    ours = [source, build]
    third_party, own_objects, own_archives = [], [], {}
    for path, member in linked:
        full = path if os.path.isabs(path) else os.path.join(build, path)
        if any(inside(full, tree) for tree in ours):
            if member is None:
                own_objects.append(os.path.relpath(full, build))
            else:
                own_archives.setdefault(os.path.relpath(full, build), set()).add(member)
        else:
            third_party.append(full)
    for archive, members in own_archives.items():
        objects = archive_objects(build, archive, members)
        if len(objects) < len(members):
            raise CheckError(f"the build names fewer objects of {archive} than the map took from it")
        own_objects += objects
    own_objects = [o for o in own_objects if o.endswith((".obj", ".o"))]
    if not own_objects:
        raise CheckError("the map names none of our own objects; is it the setup program's map?")
    for header in compiled_headers(build, own_objects):
        if not any(inside(header, tree) for tree in ours):
            third_party.append(header)
    return third_party


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--map", required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    args = parser.parse_args()
    try:
        notices = read_rcdata(args.exe, NOTICES_ID).decode("utf-8")
        inputs = third_party_inputs(args.map, args.build, args.source)
        origins, problems = missing_notices(inputs, notices)
    except (CheckError, OSError, UnicodeDecodeError) as exc:
        print(f"check_notices: {exc}", file=sys.stderr)
        return 1
    if problems:
        print("check_notices: the licence notices (RCDATA 301) miss:", file=sys.stderr)
        for problem in problems:
            print(f"  {problem}", file=sys.stderr)
        return 1
    print(f"licence notices: {len(set(inputs))} third-party files linked or compiled in, from "
          f"{', '.join(origins)}: every notice is in RCDATA 301")
    return 0


if __name__ == "__main__":
    sys.exit(main())
