"""Synthetic file contents for the release generator.

Every generator returns exactly the number of bytes asked for and draws only
from the random.Random object it is given (or from fixed seeds of its own),
so equal seeds give equal bytes.
The kinds imitate what an application folder holds, so that the files deflate
about as well as real ones do: x86-64 machine code, managed IL code, tables and
metadata, string heaps, prose, JSON and XML, zero padding, and data that is
already compressed (images, fonts, packed resources) and therefore random-like.

A Mix object counts how many bytes of each kind were produced.
"""

import array
import random
import struct
import sys
from collections import Counter

KIND_MACHINE_CODE = "machine code"
KIND_IL_CODE = "IL code"
KIND_TABLES = "tables and metadata"
KIND_STRINGS = "string heaps"
KIND_TEXT = "text (prose, JSON, XML)"
KIND_PADDING = "zero padding"
KIND_PACKED = "already-compressed data"
KIND_BITMAPS = "raw bitmaps"
KIND_APPLICATION = "the given Pelorin.exe"


class Mix(Counter):
    """Bytes produced per kind."""


def fit(data, n, pad=b"\0"):
    """data cut or padded (with pad repeated) to exactly n bytes."""
    if len(data) >= n:
        return data[:n]
    return data + (pad * ((n - len(data)) // len(pad) + 1))[:n - len(data)]


# ---------------------------------------------------------------------------
# Pools shared by all files: built once from a fixed seed.

_POOL_SEED = "pelorin-release-content-pools-v1"

# x86-64 instruction templates: opcode bytes and operand kinds
# (b = 8-bit displacement, r = rel32, j = short jump, i = imm32).
_X86_BODY = [
    (b"\x48\x8b\x45", "b"), (b"\x48\x89\x45", "b"), (b"\x8b\x45", "b"), (b"\x89\x45", "b"),
    (b"\x48\x8d\x4d", "b"), (b"\x48\x8d\x15", "r"), (b"\xe8", "r"), (b"\xe8", "r"),
    (b"\xe8", "r"), (b"\xff\x15", "r"), (b"\x48\x85\xc0", ""), (b"\x74", "j"), (b"\x75", "j"),
    (b"\x0f\x84", "r"), (b"\x0f\x85", "r"), (b"\xeb", "j"), (b"\x31\xc0", ""), (b"\x33\xc9", ""),
    (b"\x48\x8b\xc8", ""), (b"\x48\x8b\xd0", ""), (b"\x4c\x8b\xc0", ""), (b"\xb9", "i"),
    (b"\xba", "i"), (b"\x41\xb8", "i"), (b"\xc7\x45", "bi"), (b"\x0f\xb6\x45", "b"),
    (b"\x48\x63\xc8", ""), (b"\x48\x03\xc1", ""), (b"\x83\xf8", "b"), (b"\x48\x3b\xc1", ""),
    (b"\x0f\x10\x05", "r"), (b"\x0f\x11\x44\x24", "b"), (b"\x66\x0f\xef\xc0", ""),
    (b"\x48\x8b\x0d", "r"), (b"\x4c\x8d\x05", "r"), (b"\x48\x8b\x4c\x24", "b"),
    (b"\x48\x89\x4c\x24", "b"), (b"\x48\x8b\x5c\x24", "b"), (b"\x8b\x4c\x24", "b"),
    (b"\x48\x8b\x01", ""), (b"\xff\x50", "b"), (b"\x48\x83\xc0", "b"), (b"\x48\xff\xc1", ""),
    (b"\x3b\xc8", ""), (b"\x7c", "j"), (b"\x48\x8b\xcb", ""), (b"\x48\x8b\xd7", ""),
    (b"\x45\x33\xc0", ""), (b"\x0f\x1f\x44\x00\x00", ""),
]
_X86_PUSH = [b"\x55", b"\x53", b"\x56", b"\x57", b"\x41\x54", b"\x41\x55", b"\x41\x56", b"\x41\x57"]
_DISP8 = [0x08, 0x10, 0x18, 0x20, 0x28, 0x30, 0x38, 0x40, 0x48, 0x50, 0x58, 0x60,
          0xe8, 0xf0, 0xf8, 0xd8, 0xc8]

# IL opcodes: (bytes, operand kind): t = metadata token, s = short branch, c = int8.
_IL_BODY = [
    (b"\x02", ""), (b"\x03", ""), (b"\x04", ""), (b"\x06", ""), (b"\x07", ""), (b"\x0a", ""),
    (b"\x0b", ""), (b"\x16", ""), (b"\x17", ""), (b"\x14", ""), (b"\x7b", "t"), (b"\x7d", "t"),
    (b"\x28", "t"), (b"\x28", "t"), (b"\x6f", "t"), (b"\x6f", "t"), (b"\x73", "t"),
    (b"\x72", "t"), (b"\x2c", "s"), (b"\x2d", "s"), (b"\x2b", "s"), (b"\x1f", "c"),
    (b"\x25", ""), (b"\x26", ""), (b"\x8c", "t"), (b"\x74", "t"), (b"\x58", ""), (b"\xfe\x01", ""),
]

_IDENT_WORDS = (
    "Get Set Add Remove Create Update Apply Measure Arrange Render Invalidate Parse Format "
    "Try Begin End Async Handler Changed Property Value Collection Item Items Index Count "
    "Visual Element Control Template Style Theme Brush Color Point Size Rect Layout Panel "
    "Stream Buffer Reader Writer Encoding Options Provider Factory Service Context State "
    "Token Cancellation Task Result Exception Message Source Target Binding Path Key Name "
    "Connection Tunnel Endpoint Address Packet Session Route Server Client Certificate Hash "
    "Key Cipher Signature Handshake Timer Dispatcher Thread Queue Pool Cache Entry Node Tree "
    "Scroll Text Font Glyph Run Line Block Image Bitmap Surface Device Window Input Pointer "
    "Keyboard Focus Command Menu Button Border Grid Stack Dock Canvas Popup Tool Tip Header"
).split()
_IDENT_PREFIXES = ["get_", "set_", "add_", "remove_", "On", "<>c__DisplayClass", "Is", "Has", ""]
_NAMESPACES = ["Nimbic", "Nimbic.Collections", "Nimbic.IO", "Nimbic.Net", "Nimbic.Threading",
               "Tessel", "Tessel.Controls", "Tessel.Media", "Tessel.Input", "Pelorin.Core",
               "Pelorin.Tunnel", "Pelorin.UI"]


def _build_x86_function(r):
    out = []
    if r.random() < 0.3:
        out.append(b"\x48\x89\x5c\x24\x08")
    for _ in range(r.randrange(0, 4)):
        out.append(r.choice(_X86_PUSH))
    out.append(b"\x48\x83\xec" + bytes([r.choice([0x20, 0x28, 0x30, 0x38, 0x40, 0x48, 0x58, 0x68])]))
    for _ in range(int(r.expovariate(1 / 25)) + 3):
        op, kinds = r.choice(_X86_BODY)
        out.append(op)
        for k in kinds:
            if k == "b":
                out.append(bytes([r.choice(_DISP8) if r.random() < 0.8 else r.randrange(256)]))
            elif k == "r":
                out.append(struct.pack("<i", r.randrange(-0x300000, 0x300000)))
            elif k == "j":
                out.append(bytes([r.randrange(2, 0x60)]))
            else:
                x = r.random()
                v = r.randrange(64) if x < 0.6 else r.randrange(0x10000) if x < 0.85 else r.getrandbits(32)
                out.append(struct.pack("<I", v))
    out.append(b"\x48\x83\xc4\x28")
    out.append(b"\x5d\xc3" if r.random() < 0.5 else b"\xc3")
    body = b"".join(out)
    return body + b"\xcc" * (-len(body) % 16)


def _build_il_method(r):
    code = []
    for _ in range(int(r.expovariate(1 / 18)) + 2):
        op, kind = r.choice(_IL_BODY)
        code.append(op)
        if kind == "t":
            table = r.choice([0x04, 0x06, 0x0a, 0x0a, 0x2b, 0x70, 0x01])
            code.append(struct.pack("<I", (table << 24) | int(r.paretovariate(1.2)) % 0x1800))
        elif kind == "s":
            code.append(bytes([r.randrange(2, 0x40)]))
        elif kind == "c":
            code.append(bytes([r.randrange(0, 0x20)]))
    code.append(b"\x2a")  # ret
    body = b"".join(code)
    if len(body) < 64 and r.random() < 0.7:
        return bytes([(len(body) << 2) | 2]) + body  # tiny header
    header = struct.pack("<HHII", 0x3013, r.choice([2, 3, 4, 8]), len(body), 0x11000000 | r.randrange(1, 0x400))
    method = header + body
    return method + b"\0" * (-len(method) % 4)


def _identifier(r):
    words = r.choices(_IDENT_WORDS, k=r.choice([1, 2, 2, 3, 3, 4]))
    return r.choice(_IDENT_PREFIXES) + "".join(words)


class _Pools:
    def __init__(self):
        r = random.Random(_POOL_SEED)
        self.x86 = [_build_x86_function(r) for _ in range(3000)]
        self.il = [_build_il_method(r) for _ in range(3000)]
        self.idents = sorted({_identifier(r) for _ in range(6000)})
        # Byte distributions for table-like data: mostly zero and small values.
        self.table_map = self._skew(r, zero=0.72, small=0.22)
        self.blob_map = self._skew(r, zero=0.45, small=0.35)

    @staticmethod
    def _skew(r, zero, small):
        """A 256-byte translation table mapping uniform bytes to a skewed
        distribution: mostly 0x00, then small values, then anything."""
        table = bytearray(256)
        for i in range(256):
            x = (i + 0.5) / 256
            if x < zero:
                table[i] = 0
            elif x < zero + small:
                table[i] = r.randrange(1, 16)
            else:
                table[i] = r.randrange(256)
        return bytes(table)


_pools = None


def pools():
    global _pools
    if _pools is None:
        _pools = _Pools()
    return _pools


# ---------------------------------------------------------------------------
# Binary kinds.

def machine_code(r, n):
    p = pools().x86
    parts, got = [], 0
    while got < n:
        batch = r.choices(p, k=256)
        parts.extend(batch)
        got += sum(map(len, batch))
    return fit(b"".join(parts), n, b"\xcc")


def il_code(r, n):
    p = pools().il
    parts, got = [], 0
    while got < n:
        batch = r.choices(p, k=256)
        parts.extend(batch)
        got += sum(map(len, batch))
    return fit(b"".join(parts), n)


def tables(r, n, row=12):
    """Fixed-width rows of small integers and increasing indexes (metadata
    tables, import thunks, unwind data)."""
    noise = r.randbytes(n).translate(pools().table_map)
    rows = n // row + 1
    base = r.randrange(0x1000, 0x8000)
    step = r.choice([4, 8, 12, 16, 24, 32])
    counter = array.array("I", range(base, base + rows * step, step))
    if sys.byteorder != "little":
        counter.byteswap()
    counter = counter.tobytes()
    out = bytearray(noise)
    # Every row starts with an increasing 32-bit value, like an RVA column.
    for k in range(4):
        out[k::row] = counter[k::4][:len(out[k::row])]
    return bytes(out)


def blob(r, n):
    """Signature blobs and similar packed small fields."""
    return r.randbytes(n).translate(pools().blob_map)


def identifiers(r, n, sep=b"\0"):
    """A string heap of identifiers (managed #Strings heap, export names)."""
    names = pools().idents
    parts, got = [], 0
    while got < n:
        batch = [s.encode("ascii") for s in r.choices(names, k=512)]
        parts.extend(batch)
        got += sum(map(len, batch)) + len(batch)
    return fit(sep.join(parts), n)


def utf16_strings(r, n):
    """User strings stored as UTF-16LE (messages, resource strings)."""
    text = prose(r, n // 2 + 64).decode("ascii")
    return fit(text.encode("utf-16-le"), n)


def packed(r, n, magic=b""):
    """Already-compressed data: random-like bytes behind a small header."""
    return fit(magic + r.randbytes(max(0, n - len(magic))), n)


def zeros(n):
    return bytes(n)


# ---------------------------------------------------------------------------
# Text kinds.

_SUBJECTS = [
    "The licensor", "Each contributor", "The copyright holder", "The recipient",
    "Any person obtaining a copy of the software", "The distributor", "You",
    "Licensee", "The author", "No contributor", "The original developer",
]
_VERBS = [
    "grants to you", "may not use", "shall retain", "must include", "disclaims",
    "is not liable for", "may distribute", "shall reproduce", "is permitted to modify",
    "must not misrepresent", "agrees to indemnify", "may sublicense",
]
_OBJECTS = [
    "the above copyright notice", "this list of conditions", "the following disclaimer",
    "any derivative works", "the source code form of the work", "the object code form",
    "the names of its contributors", "any patent claims licensable by such contributor",
    "the documentation and other materials provided with the distribution",
    "a perpetual, worldwide, non-exclusive, royalty-free licence", "the origin of this software",
    "the accompanying notice file", "any warranty of merchantability",
]
_QUALIFIERS = [
    "without restriction", "in all copies or substantial portions of the software",
    "provided that the conditions below are met", "to the extent permitted by applicable law",
    "whether in an action of contract, tort or otherwise", "subject to the terms of this licence",
    "without prior written permission", "for any purpose, commercial or non-commercial",
    "unless required by applicable law or agreed to in writing", "at no charge",
    "in source or binary form", "as a condition of the grant",
]
_HEADINGS = ["Definitions", "Grant of Copyright Licence", "Grant of Patent Licence",
             "Redistribution", "Submission of Contributions", "Trademarks",
             "Disclaimer of Warranty", "Limitation of Liability", "Termination",
             "Accepting Warranty or Additional Liability", "Miscellaneous"]


_VOCABULARY = (
    "the of and to in any or for this that such with by as on be is are not under other "
    "software work license licence copyright notice use provided without warranty rights "
    "contributor distribution source code form including made available terms conditions "
    "derivative works patent claims person entity party parties permission granted hereby "
    "limited express implied merchantability fitness particular purpose damages liability "
    "event shall holders authors contract tort negligence otherwise arising connection "
    "dealings modification modifications files file documentation materials binary object "
    "redistributions retain reproduce above list following disclaimer names endorse promote "
    "products derived prior written permitted law applicable extent maximum "
    "agreement version each all its their your you may must will would could should whether "
    "directly indirectly incidental exemplary consequential procurement substitute "
    "goods services loss data profits business interruption however caused theory strict "
    "advised possibility notwithstanding foregoing nothing herein supersede modify separate "
    "executed regarding contributions submitted inclusion intentionally sent communication "
    "electronic verbal mailing lists tracking systems managed purpose discussing improving "
    "excluding conspicuously marked designated writing owner representative legal entities "
    "control common means power cause direction management ownership fifty percent "
    "outstanding shares beneficial exercising permissions perpetual worldwide non-exclusive "
    "no-charge royalty-free irrevocable prepare publicly display perform sublicense "
    "distribute except stated section infringement litigation cross-claim counterclaim "
    "lawsuit alleging constitutes direct contributory terminate date filed medium "
    "attribution notices text readable carry prominent stating changed give recipients "
    "copy accompanying attached appendix example how apply boilerplate identifying "
    "information brackets replaced enclosed comment syntax format page same printed "
    "description along title improve identification within third-party archives"
).split()
_VOCAB_WEIGHTS = []
_total = 0.0
for _i in range(len(_VOCABULARY)):
    _total += 1.0 / (_i + 8)
    _VOCAB_WEIGHTS.append(_total)


def _sentence(r):
    words = r.choices(_VOCABULARY, cum_weights=_VOCAB_WEIGHTS, k=r.randrange(4, 14))
    return "%s %s %s, %s %s." % (r.choice(_SUBJECTS), r.choice(_VERBS), r.choice(_OBJECTS),
                                 " ".join(words), r.choice(_QUALIFIERS))


def _wrap(text, width=78):
    lines, line = [], ""
    for word in text.split():
        if line and len(line) + 1 + len(word) > width:
            lines.append(line)
            line = word
        else:
            line = line + " " + word if line else word
    if line:
        lines.append(line)
    return "\n".join(lines)


def prose(r, n):
    """Licence-like English prose, wrapped at 78 columns, exactly n bytes."""
    out, got, section = [], 0, 1
    while got < n:
        if r.random() < 0.25:
            para = "%d. %s." % (section, r.choice(_HEADINGS))
            section += 1
        elif r.random() < 0.08:
            para = _wrap(" ".join(_sentence(r) for _ in range(3)).upper())
        else:
            para = _wrap(" ".join(_sentence(r) for _ in range(r.randrange(2, 6))))
        out.append(para)
        got += len(para) + 2
    return fit("\n\n".join(out).encode("ascii") + b"\n", n, b"\n")


def licence_text(family, holder, year, n):
    """A licence file: a title and a copyright line, then the family's text
    (the same wording for every file of a family, as with real licences)."""
    r = random.Random("licence-family-%d" % family)
    title = ["Permissive Software Licence", "Attribution Licence, Version 2.0",
             "Three-Clause Redistribution Licence", "Library Licence, Version 2.1",
             "Zero-Clause Licence", "Public Notice Licence"][family % 6]
    head = "%s\n\nCopyright (c) %d %s\nAll rights reserved.\n\n" % (title, year, holder)
    head = head.encode("ascii")
    return fit(head + prose(r, max(0, n - len(head))), n, b"\n")


_RU_SUBJECTS = ["Правообладатель", "Пользователь", "Настоящее соглашение", "Лицензиат",
                "Каждый участник", "Распространитель", "Приложение Pelorin"]
_RU_VERBS = ["предоставляет право использовать", "не несёт ответственности за",
             "обязуется соблюдать", "вправе распространять", "не гарантирует",
             "сохраняет за собой", "может изменять"]
_RU_OBJECTS = ["программное обеспечение", "копии программы", "любые убытки",
               "исходный код", "документацию и сопутствующие материалы",
               "товарные знаки", "настоящие условия", "уведомление об авторском праве"]
_RU_QUALIFIERS = ["в соответствии с применимым законодательством", "без каких-либо ограничений",
                  "на территории всех стран мира", "в течение всего срока действия соглашения",
                  "при условии сохранения настоящего уведомления", "бесплатно",
                  "в объёме, допустимом законом"]


def russian_text(r, n):
    """Licence-agreement prose in Russian (UTF-8), exactly n bytes, cut only
    at a character boundary (padded with newlines)."""
    out = ["ЛИЦЕНЗИОННОЕ СОГЛАШЕНИЕ С КОНЕЧНЫМ ПОЛЬЗОВАТЕЛЕМ"]
    got, section = 0, 1
    while got < n:
        sentences = " ".join("%s %s %s %s." % (r.choice(_RU_SUBJECTS), r.choice(_RU_VERBS),
                                                r.choice(_RU_OBJECTS), r.choice(_RU_QUALIFIERS))
                             for _ in range(r.randrange(2, 5)))
        para = "%d. %s" % (section, _wrap(sentences, 72))
        section += 1
        out.append(para)
        got += len(para.encode("utf-8")) + 2
    data = "\n\n".join(out).encode("utf-8")
    if len(data) > n:
        data = data[:n]
        while data and (data[-1] & 0xC0) == 0x80:  # drop a cut multi-byte sequence
            data = data[:-1]
        if data and data[-1] >= 0xC0:
            data = data[:-1]
    return fit(data, n, b"\n")


def package_json(r, name, version, licence, n):
    deps = ",\n".join('    "%s": "^%d.%d.%d"' % (d.lower(), r.randrange(1, 9), r.randrange(20), r.randrange(10))
                      for d in r.sample(_IDENT_WORDS, r.randrange(0, 6)))
    text = ('{\n  "name": "%s",\n  "version": "%s",\n  "description": "%s",\n'
            '  "license": "%s",\n  "authors": ["%s contributors"],\n'
            '  "repository": {"type": "git", "url": "https://example.invalid/%s.git"},\n'
            '  "dependencies": {\n%s\n  }\n}\n') % (
        name, version, _sentence(r)[:-1], licence, name, name.lower(), deps)
    return fit(text.encode("ascii"), n, b" ")


def package_xml(r, name, version, licence, n):
    deps = "\n".join('        <dependency id="%s" version="%d.%d.%d" />' % (
        d, r.randrange(1, 9), r.randrange(20), r.randrange(10)) for d in r.sample(_IDENT_WORDS, r.randrange(0, 6)))
    text = ('<?xml version="1.0" encoding="utf-8"?>\n<package>\n  <metadata>\n'
            '    <id>%s</id>\n    <version>%s</version>\n    <authors>%s authors</authors>\n'
            '    <license type="expression">%s</license>\n    <description>%s</description>\n'
            '    <dependencies>\n      <group targetFramework="nimbic8.0">\n%s\n      </group>\n'
            '    </dependencies>\n  </metadata>\n</package>\n') % (
        name, version, name, licence, _sentence(r)[:-1], deps)
    return fit(text.encode("ascii"), n, b" ")


def deps_json(r, libraries, n):
    """A dependency manifest listing every library (large, repetitive JSON)."""
    rows = []
    for lib in libraries:
        rows.append('    "%s/%d.%d.%d": {\n      "type": "package",\n      "serviceable": true,\n'
                    '      "sha512": "sha512-%s",\n      "path": "%s/%d.%d.%d"\n    }' % (
                        lib, 8, 0, r.randrange(12), r.randbytes(48).hex(), lib.lower(), 8, 0, r.randrange(12)))
    text = '{\n  "runtimeTarget": {"name": "Nimbic,Version=v8.0/win-x64"},\n  "libraries": {\n%s\n  }\n}\n' % (
        ",\n".join(rows))
    data = text.encode("ascii")
    while len(data) < n:
        data += data
    return fit(data, n, b" ")


def config_json(r, n):
    keys = r.sample(_IDENT_WORDS, 30)
    body = ",\n".join('  "%s": {"enabled": %s, "level": %d, "name": "%s"}' % (
        k, "true" if r.random() < 0.5 else "false", r.randrange(10), _identifier(r)) for k in keys)
    return fit(("{\n%s\n}\n" % body).encode("ascii"), n, b" ")


def config_xml(r, n):
    rows = "\n".join('    <logger name="%s.%s" minlevel="%s" writeTo="%s" />' % (
        r.choice(_NAMESPACES), _identifier(r), r.choice(["Trace", "Debug", "Info", "Warn"]),
        r.choice(["file", "console", "event"])) for _ in range(60))
    text = '<?xml version="1.0" encoding="utf-8"?>\n<logging>\n  <rules>\n%s\n  </rules>\n</logging>\n' % rows
    data = text.encode("ascii")
    return fit(data, n, b" ")


# ---------------------------------------------------------------------------
# Executable images.

def _pe_headers(r, n_sections):
    """1 KiB of image headers: DOS stub, PE signature, file and optional
    header fields, section table space."""
    dos = fit(b"MZ\x90\x00\x03\x00\x00\x00\x04\x00\x00\x00\xff\xff\x00\x00\xb8" + bytes(43)
              + struct.pack("<I", 0x80), 64)
    stub = fit(b"\x0e\x1f\xba\x0e\x00\xb4\x09\xcd\x21\xb8\x01\x4c\xcd\x21"
               b"This program cannot be run in DOS mode.\r\r\n$", 64)
    coff = struct.pack("<4sHHIIIHH", b"PE\0\0", 0x8664, n_sections, 0x5F000000 + r.randrange(1 << 24),
                       0, 0, 240, 0x2022)
    optional = struct.pack("<HBBIII", 0x20B, 14, 30, 0, 0, 0)
    return fit(dos + stub + coff + optional + r.randbytes(16), 1024)


def pe_image(r, n, mix, sections):
    """An executable image of exactly n bytes: headers, then sections given as
    (weight, kind, generator) with generator(r, length) -> bytes. Every section
    but the last fills a whole number of 512-byte file-alignment units and ends
    in zero padding; the last one takes the rest."""
    head = _pe_headers(r, len(sections))
    if n < len(head) + 512 * len(sections):
        raise ValueError("an image of %d bytes is too small for %d sections" % (n, len(sections)))
    budget = left = n - len(head)
    total_weight = sum(w for w, _, _ in sections)
    parts = [head]
    mix[KIND_TABLES] += len(head)
    for i, (weight, kind, gen) in enumerate(sections):
        if i == len(sections) - 1:
            body_len, pad = left, 0
        else:
            span = min(left, int(budget * weight / total_weight))
            span -= span % 512
            pad = r.randrange(0, 256) if span >= 1024 else 0
            body_len = span - pad
        parts.append(gen(r, body_len))
        parts.append(bytes(pad))
        mix[kind] += body_len
        mix[KIND_PADDING] += pad
        left -= body_len + pad
    return b"".join(parts)
