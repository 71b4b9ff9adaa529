#!/usr/bin/env python3
"""Writes the licence notices of every library linked into the setup program.

The texts are taken, not retyped: the ZIP reader's notices are the licence
comments of the very miniz.h the build compiles, and the compiler's runtime
libraries that the static link puts into the program (libstdc++, libgcc,
winpthreads, the mingw-w64 C runtime) bring the copyright file that their
Debian package installs. Which package that is, dpkg says for the library
file the compiler links.

Usage: make_notices.py --miniz miniz.h --compiler x86_64-w64-mingw32-g++-posix --out notices.txt
"""
import argparse
import os
import subprocess
import sys

# The runtime libraries of a static link with -static-libgcc -static-libstdc++
# and the POSIX thread model, with a line saying what each one is.
RUNTIME_LIBRARIES = (
    ("libstdc++.a", "libstdc++, the C++ standard library of GCC"),
    ("libgcc.a", "libgcc, the GCC low-level runtime library"),
    ("libgcc_eh.a", "libgcc_eh, the GCC exception-handling runtime"),
    ("libwinpthread.a", "winpthreads, the POSIX threads library of mingw-w64"),
    ("libmingw32.a", "the mingw-w64 C runtime start-up code"),
    ("libmingwex.a", "the mingw-w64 C runtime extensions"),
)

RULE = "=" * 78


def licence_comments(header):
    """The licence comments of a source file that no package installs (miniz.h):
    every comment block that grants a licence, each once; empty if there is none."""
    with open(header, encoding="utf-8") as source:
        text = source.read()
    blocks = []
    start = text.find("/*")
    while start >= 0:
        end = text.find("*/", start + 2)
        if end < 0:
            break
        block = text[start:end + 2]
        if "Permission is hereby granted" in block or "free and unencumbered software" in block:
            blocks.append(block)
        start = text.find("/*", end + 2)
    return list(dict.fromkeys(blocks))


def owning_packages(paths):
    """{path: the Debian package that installed it} for the paths some package
    installed; one dpkg query for all of them."""
    candidates = {}
    for path in paths:
        for candidate in (os.path.realpath(path), os.path.normpath(path)):
            candidates.setdefault(candidate, []).append(path)
    found = {}
    listed = sorted(candidates)
    for i in range(0, len(listed), 500):
        out = subprocess.run(["dpkg", "-S", *listed[i:i + 500]], capture_output=True, text=True)
        for line in out.stdout.splitlines():
            package, _, installed = line.partition(": ")
            for path in candidates.get(installed.strip(), []):
                found.setdefault(path, package.split(",")[0].split(":")[0].strip())
    return found


def owning_package(path):
    """The Debian package that installed `path`, or None."""
    return owning_packages([path]).get(path)


def package_licence(package):
    """The copyright file the package installs."""
    with open(f"/usr/share/doc/{package}/copyright", encoding="utf-8") as source:
        return source.read()


def runtime_notices(compiler):
    by_package = {}
    for library, description in RUNTIME_LIBRARIES:
        path = subprocess.run([compiler, f"-print-file-name={library}"], capture_output=True, text=True,
                              check=True).stdout.strip()
        if not os.path.isabs(path) or not os.path.exists(path):
            sys.exit(f"make_notices: the compiler does not link {library}")
        package = owning_package(path)
        if package is None:
            sys.exit(f"make_notices: no Debian package owns {os.path.realpath(path)}")
        by_package.setdefault(package, []).append(description)
    # Packages built from one source carry the same text; it is written once.
    by_text = {}
    for package, descriptions in by_package.items():
        text = package_licence(package)
        entry = by_text.setdefault(text, ([], []))
        entry[0].extend(descriptions)
        entry[1].append(package)
    return [("\n".join(descriptions) + "\n(licence text of the Debian package" +
             ("s " if len(packages) > 1 else " ") + ", ".join(packages) + ")", text)
            for text, (descriptions, packages) in by_text.items()]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--miniz", required=True)
    parser.add_argument("--compiler", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()

    miniz = licence_comments(args.miniz)
    if not miniz:
        sys.exit(f"make_notices: no licence text found in {args.miniz}")
    sections = [("miniz, the ZIP reader", "\n\n".join(miniz))]
    sections += runtime_notices(args.compiler)
    text = "Pelorin Setup includes the following third-party software.\n"
    for heading, body in sections:
        text += f"\n{RULE}\n{heading}\n{RULE}\n\n{body.rstrip()}\n"
    with open(args.out, "w", encoding="utf-8", newline="\r\n") as out:
        out.write(text)


if __name__ == "__main__":
    main()
