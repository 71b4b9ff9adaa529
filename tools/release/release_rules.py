"""What the installer accepts as a release archive.

The setup program refuses a release archive unless every entry obeys the rules
below; this module holds them once, for the release generator (which checks its
own output) and the manifest generator (which refuses to build a table from an
archive the installer would refuse).

Names are handled as bytes throughout: entry names are UTF-8 byte strings and
every length limit counts bytes.
"""

import hashlib
import struct
import zlib

# Every entry name is this folder followed by the file's relative name.
ROOT_PREFIX = b"Pelorin-Windows-0.5.0-win-x64/"

# Per-entry ceiling on the uncompressed size.
MAX_ENTRY_SIZE = 0x2800000  # 41,943,040

MAX_NAME_BYTES = 200
MAX_COMPONENT_BYTES = 150
MAX_VERSION_NEEDED = 44

# Names the installer writes into an installation itself; a release must not
# carry files of these names.
RESERVED_RELEASE_NAMES = (b"uninstall.exe", b".pelorin-installation")

FLAG_ENCRYPTED = 0x0001
FLAG_DATA_DESCRIPTOR = 0x0008
FLAG_PATCHED_DATA = 0x0020
FLAG_STRONG_ENCRYPTION = 0x0040
FLAG_UTF8 = 0x0800
FLAG_MASKED_DIRECTORY = 0x2000

DOS_DIRECTORY_ATTR = 0x10
DOS_REPARSE_POINT_ATTR = 0x400
UNIX_REGULAR_FILE_TYPE = 8  # S_IFREG >> 12, in bits 28..31 of the external attributes

METHOD_DEFLATE = 8

_FORBIDDEN_CHARS = frozenset(b'\\:*?"<>|')
_DEVICE_NAMES = frozenset(
    [b"con", b"prn", b"aux", b"nul", b"clock$", b"conin$", b"conout$"]
    + [b"com" + bytes([d]) for d in b"0123456789"]
    + [b"lpt" + bytes([d]) for d in b"0123456789"]
)

LOCAL_HEADER_SIG = 0x04034B50
CENTRAL_HEADER_SIG = 0x02014B50
END_OF_CENTRAL_DIR_SIG = 0x06054B50
ZIP64_LOCATOR_SIG = 0x07064B50
DATA_DESCRIPTOR_SIG = 0x08074B50
ZIP64_EXTRA_ID = 0x0001

LOCAL_HEADER = struct.Struct("<IHHHHHIIIHH")  # 30 bytes
CENTRAL_HEADER = struct.Struct("<IHHHHHHIIIHHHHHII")  # 46 bytes
END_OF_CENTRAL_DIR = struct.Struct("<IHHHHIIH")  # 22 bytes
ZIP64_LOCATOR_SIZE = 20


class ReleaseError(Exception):
    """An archive, or a set of names, that the installer would refuse."""


def describe(name):
    """A printable form of an entry name for messages."""
    return name.decode("utf-8", "backslashreplace")


def ascii_lower(name):
    """Lower-cases 'A'..'Z' only; every other byte is kept as it is."""
    return name.lower()  # bytes.lower() touches ASCII letters only


def _utf8_problem(name):
    """Why name is not strict UTF-8 of printable code points, or None."""
    i, n = 0, len(name)
    while i < n:
        lead = name[i]
        if lead < 0x80:
            cp, length = lead, 1
        elif 0xC2 <= lead <= 0xDF:
            cp, length = lead & 0x1F, 2
        elif 0xE0 <= lead <= 0xEF:
            cp, length = lead & 0x0F, 3
        elif 0xF0 <= lead <= 0xF4:
            cp, length = lead & 0x07, 4
        else:
            return "byte 0x%02X at offset %d cannot start a UTF-8 sequence" % (lead, i)
        if i + length > n:
            return "UTF-8 sequence at offset %d is cut off by the end of the name" % i
        for j in range(i + 1, i + length):
            if not 0x80 <= name[j] <= 0xBF:
                return "byte 0x%02X at offset %d is not a UTF-8 continuation byte" % (name[j], j)
            cp = (cp << 6) | (name[j] & 0x3F)
        if (length == 3 and cp < 0x800) or (length == 4 and cp < 0x10000):
            return "overlong UTF-8 sequence at offset %d" % i
        if cp > 0x10FFFF:
            return "code point above U+10FFFF at offset %d" % i
        if 0xD800 <= cp <= 0xDFFF:
            return "surrogate code point U+%04X at offset %d" % (cp, i)
        if cp < 0x20 or 0x7F <= cp <= 0x9F:
            return "control character U+%04X at offset %d" % (cp, i)
        i += length
    return None


def entry_name_problem(name):
    """Why the installer refuses name as a relative entry name, or None.

    The same rules as the installer's IsValidEntryName: 1..200 bytes of strict
    UTF-8 without control characters, no leading or trailing '/', none of
    \\:*?"<>|, and every '/'-separated component non-empty, not "." or "..",
    not ending in ' ' or '.', at most 150 bytes, and not a Windows device name
    (whatever the extension).
    """
    if not 1 <= len(name) <= MAX_NAME_BYTES:
        return "name is %d bytes long (allowed: 1..%d)" % (len(name), MAX_NAME_BYTES)
    problem = _utf8_problem(name)
    if problem:
        return problem
    if name.startswith(b"/") or name.endswith(b"/"):
        return "name begins or ends with '/'"
    for byte in name:
        if byte in _FORBIDDEN_CHARS:
            return "name contains the character %r" % chr(byte)
    for component in name.split(b"/"):
        shown = describe(component)
        if not component:
            return "name has an empty component"
        if component in (b".", b".."):
            return "name has the component %r" % shown
        if component.endswith((b" ", b".")):
            return "component %r ends with a space or a dot" % shown
        if len(component) > MAX_COMPONENT_BYTES:
            return "component of %d bytes (at most %d allowed)" % (len(component), MAX_COMPONENT_BYTES)
        base = ascii_lower(component.split(b".", 1)[0])
        if base in _DEVICE_NAMES:
            return "component %r is a Windows device name" % shown
    return None


def is_valid_entry_name(name):
    return entry_name_problem(name) is None


def name_set_problem(names):
    """Why the installer refuses this list of relative names as a whole, or None.

    The same rules as the installer's CheckNameSet: every name valid, names
    unique after ASCII case folding, and no name equal to the folder part of
    another one (a file where a folder is needed), also after folding.
    """
    folded = {}
    for name in names:
        problem = entry_name_problem(name)
        if problem:
            return "%r: %s" % (describe(name), problem)
        key = ascii_lower(name)
        if key in folded:
            return "%r and %r differ only in letter case" % (describe(folded[key]), describe(name))
        folded[key] = name
    for key in sorted(folded):
        for p in range(len(key)):
            if key[p] == 0x2F and key[:p] in folded:
                return "%r is a file but %r needs it as a folder" % (
                    describe(folded[key[:p]]), describe(folded[key]))
    return None


def check_name_set(names):
    return name_set_problem(names) is None


def implied_folders(names):
    """Every folder that the names imply (ancestors of every name), as bytes."""
    folders = set()
    for name in names:
        for p in range(len(name)):
            if name[p] == 0x2F:
                folders.add(name[:p])
    return folders


class Entry:
    """One file of a release archive, as the manifest needs it."""

    __slots__ = ("index", "name", "size", "sha256", "crc32", "compressed_size", "flags")

    def __init__(self, index, name, size, sha256, crc32, compressed_size, flags):
        self.index = index
        self.name = name  # relative name (root prefix removed), bytes
        self.size = size
        self.sha256 = sha256  # 64 lowercase hex digits
        self.crc32 = crc32
        self.compressed_size = compressed_size
        self.flags = flags


def _find_end_of_central_dir(data):
    """Offset of the end-of-central-directory record, searched from the end the
    way the installer's zip reader does (the last signature that leaves room
    for the whole 22-byte record)."""
    sig = struct.pack("<I", END_OF_CENTRAL_DIR_SIG)
    end = len(data) - END_OF_CENTRAL_DIR.size
    lowest = max(0, len(data) - END_OF_CENTRAL_DIR.size - 0xFFFF)
    pos = data.rfind(sig, lowest, end + 4)
    if pos < 0:
        raise ReleaseError("not a ZIP archive: no end-of-central-directory record")
    return pos


def _inflate(data, start, compressed_size, expected_size, where):
    """Inflates one raw DEFLATE stream, refusing more output than expected."""
    if compressed_size == 0 and expected_size == 0:
        return b""  # the installer's reader has nothing to inflate either
    inflater = zlib.decompressobj(-15)
    try:
        content = inflater.decompress(memoryview(data)[start:start + compressed_size], expected_size + 1)
    except zlib.error as exc:
        raise ReleaseError("%s: compressed data is corrupt (%s)" % (where, exc))
    if len(content) > expected_size or (not inflater.eof and inflater.unconsumed_tail):
        raise ReleaseError("%s: inflates to more than the recorded %d bytes" % (where, expected_size))
    if not inflater.eof:
        raise ReleaseError("%s: compressed data ends before the end of the DEFLATE stream" % where)
    return content


def read_release(data, verify_data=True):
    """Checks a whole release archive held in memory against the installer's
    acceptance rules and returns its files as Entry objects in archive order.

    Raises ReleaseError, naming the entry and the broken rule, for an archive
    that the installer would refuse. With verify_data the entries are inflated,
    their size and CRC-32 checked and their SHA-256 computed; without it sha256
    is None and only the directory and the headers are checked.
    """
    if len(data) < END_OF_CENTRAL_DIR.size:
        raise ReleaseError("not a ZIP archive: only %d bytes" % len(data))
    eocd_ofs = _find_end_of_central_dir(data)
    (_sig, disk, cd_disk, count_here, count, cd_size, cd_ofs, _comment_len) = \
        END_OF_CENTRAL_DIR.unpack_from(data, eocd_ofs)
    if eocd_ofs >= ZIP64_LOCATOR_SIZE and \
            struct.unpack_from("<I", data, eocd_ofs - ZIP64_LOCATOR_SIZE)[0] == ZIP64_LOCATOR_SIG:
        raise ReleaseError("ZIP64 archive (a ZIP64 end-of-central-directory locator is present); "
                           "the installer accepts plain ZIP archives only")
    if 0xFFFF in (count_here, count) or 0xFFFFFFFF in (cd_size, cd_ofs):
        raise ReleaseError("ZIP64 archive (end-of-central-directory fields hold ZIP64 markers)")
    if disk != 0 or cd_disk != 0 or count_here != count:
        raise ReleaseError("multi-disk archive")
    if count == 0:
        raise ReleaseError("archive has no entries")
    if cd_size < count * CENTRAL_HEADER.size or cd_ofs + cd_size > eocd_ofs:
        raise ReleaseError("central directory is out of place (offset %d, size %d)" % (cd_ofs, cd_size))

    entries = []
    seen = {}
    pos = cd_ofs
    cd_end = cd_ofs + cd_size
    for index in range(count):
        if pos + CENTRAL_HEADER.size > cd_end:
            raise ReleaseError("central directory record %d runs past the directory" % index)
        (sig, made_by, version_needed, flags, method, _time, _date, crc, comp_size, size,
         name_len, extra_len, comment_len, disk_start, _internal, external, local_ofs) = \
            CENTRAL_HEADER.unpack_from(data, pos)
        if sig != CENTRAL_HEADER_SIG:
            raise ReleaseError("central directory record %d has a bad signature" % index)
        record_end = pos + CENTRAL_HEADER.size + name_len + extra_len + comment_len
        if record_end > cd_end:
            raise ReleaseError("central directory record %d runs past the directory" % index)
        full_name = bytes(data[pos + CENTRAL_HEADER.size:pos + CENTRAL_HEADER.size + name_len])
        extra = bytes(data[pos + CENTRAL_HEADER.size + name_len:pos + CENTRAL_HEADER.size + name_len + extra_len])
        pos = record_end

        where = "entry %d %r" % (index, describe(full_name))
        _check_extra(extra, where)
        if 0xFFFFFFFF in (comp_size, size, local_ofs) or disk_start == 0xFFFF:
            raise ReleaseError("%s: ZIP64 size or offset marker" % where)
        if not 1 <= name_len <= 511:
            raise ReleaseError("%s: name length %d (allowed: 1..511)" % (where, name_len))
        if b"\0" in full_name:
            raise ReleaseError("%s: name contains a NUL byte" % where)
        if not full_name.startswith(ROOT_PREFIX):
            raise ReleaseError("%s: name is outside the root folder %r" % (where, describe(ROOT_PREFIX)))
        rel = full_name[len(ROOT_PREFIX):]
        if full_name.endswith(b"/"):
            raise ReleaseError("%s: folder entry (the release holds files only)" % where)
        problem = entry_name_problem(rel)
        if problem:
            raise ReleaseError("%s: invalid entry name: %s" % (where, problem))
        if rel in RESERVED_RELEASE_NAMES:
            raise ReleaseError("%s: the installer writes a file of this name itself" % where)
        if flags & (FLAG_ENCRYPTED | FLAG_STRONG_ENCRYPTION):
            raise ReleaseError("%s: encrypted (general-purpose flags 0x%04X)" % (where, flags))
        if flags & FLAG_MASKED_DIRECTORY:
            raise ReleaseError("%s: masked central directory (flag 0x2000)" % where)
        if flags & FLAG_PATCHED_DATA:
            raise ReleaseError("%s: patched data (flag 0x0020) is not supported" % where)
        if method != METHOD_DEFLATE:
            raise ReleaseError("%s: compression method %d (the installer accepts DEFLATE, 8, only)"
                               % (where, method))
        if version_needed > MAX_VERSION_NEEDED:
            raise ReleaseError("%s: needs ZIP version %d.%d (at most %d.%d accepted)" % (
                where, version_needed // 10, version_needed % 10,
                MAX_VERSION_NEEDED // 10, MAX_VERSION_NEEDED % 10))
        if external & DOS_DIRECTORY_ATTR:
            raise ReleaseError("%s: external attributes carry the folder bit 0x10" % where)
        if external & DOS_REPARSE_POINT_ATTR:
            raise ReleaseError("%s: external attributes carry the reparse-point bit 0x400" % where)
        if (external >> 28) != UNIX_REGULAR_FILE_TYPE:
            raise ReleaseError("%s: external attributes 0x%08X carry no Unix regular-file mode "
                               "(bits 28..31 must be 8)" % (where, external))
        if size > MAX_ENTRY_SIZE:
            raise ReleaseError("%s: %d bytes uncompressed (at most %d per entry)"
                               % (where, size, MAX_ENTRY_SIZE))
        if size and not comp_size:
            raise ReleaseError("%s: no compressed data for %d bytes" % (where, size))
        if not flags & FLAG_UTF8 and any(b >= 0x80 for b in rel):
            raise ReleaseError("%s: non-ASCII name without the UTF-8 flag 0x0800" % where)
        if rel in seen:
            raise ReleaseError("%s: second entry of this name (first is entry %d)" % (where, seen[rel]))
        seen[rel] = index

        data_ofs = _check_local_header(data, index, local_ofs, full_name, method, crc,
                                       comp_size, size, where)
        digest = None
        if verify_data:
            content = _inflate(data, data_ofs, comp_size, size, where)
            if len(content) != size:
                raise ReleaseError("%s: inflates to %d bytes, the directory says %d"
                                   % (where, len(content), size))
            if zlib.crc32(content) != crc:
                raise ReleaseError("%s: CRC-32 mismatch (directory 0x%08X, data 0x%08X)"
                                   % (where, crc, zlib.crc32(content)))
            digest = hashlib.sha256(content).hexdigest()
        entries.append(Entry(index, rel, size, digest, crc, comp_size, flags))

    problem = name_set_problem([e.name for e in entries])
    if problem:
        raise ReleaseError("the set of names is refused: %s" % problem)
    return entries


def _check_extra(extra, where):
    pos = 0
    while pos < len(extra):
        if pos + 4 > len(extra):
            raise ReleaseError("%s: malformed extra field" % where)
        field_id, field_len = struct.unpack_from("<HH", extra, pos)
        if pos + 4 + field_len > len(extra):
            raise ReleaseError("%s: malformed extra field" % where)
        if field_id == ZIP64_EXTRA_ID:
            raise ReleaseError("%s: ZIP64 extended information field" % where)
        pos += 4 + field_len


def _check_local_header(data, index, local_ofs, full_name, method, crc, comp_size, size, where):
    """Checks that the local header agrees with the central directory record;
    returns the offset of the compressed data."""
    if local_ofs + LOCAL_HEADER.size > len(data):
        raise ReleaseError("%s: local header offset %d is outside the archive" % (where, local_ofs))
    (sig, _version, local_flags, local_method, _time, _date, local_crc, local_comp, local_size,
     name_len, extra_len) = LOCAL_HEADER.unpack_from(data, local_ofs)
    if sig != LOCAL_HEADER_SIG:
        raise ReleaseError("%s: no local header at offset %d" % (where, local_ofs))
    name_ofs = local_ofs + LOCAL_HEADER.size
    data_ofs = name_ofs + name_len + extra_len
    if data[name_ofs:name_ofs + name_len] != full_name:
        raise ReleaseError("%s: local header names a different file" % where)
    if data_ofs + comp_size > len(data):
        raise ReleaseError("%s: compressed data runs past the end of the archive" % where)
    _check_extra(bytes(data[name_ofs + name_len:data_ofs]), where + " (local header)")
    if local_method != method:
        raise ReleaseError("%s: local header method %d, directory %d" % (where, local_method, method))
    if local_flags & FLAG_DATA_DESCRIPTOR and local_comp == 0 and local_crc == 0:
        desc_ofs = data_ofs + comp_size
        if desc_ofs + 12 <= len(data) and struct.unpack_from("<I", data, desc_ofs)[0] == DATA_DESCRIPTOR_SIG:
            desc_ofs += 4
        if desc_ofs + 12 > len(data):
            raise ReleaseError("%s: data descriptor runs past the end of the archive" % where)
        local_crc, local_comp, local_size = struct.unpack_from("<III", data, desc_ofs)
        source = "data descriptor"
    else:
        source = "local header"
    if (local_crc, local_comp, local_size) != (crc, comp_size, size):
        raise ReleaseError("%s: %s disagrees with the central directory (CRC-32/sizes "
                           "%08X/%d/%d there, %08X/%d/%d here)" % (
                               where, source, crc, comp_size, size, local_crc, local_comp, local_size))
    return data_ofs
