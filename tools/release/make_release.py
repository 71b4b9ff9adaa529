#!/usr/bin/env python3
"""Builds release archives for the setup program, deterministically.

    make_release.py demo --app Pelorin.exe --out Pelorin-Windows-0.5.0-win-x64.zip
    make_release.py fixture small --app Pelorin.exe --out small.zip

"demo" is the full release 0.5.0 that the installer is built against: 381
files, 161,545,217 bytes uncompressed, an archive of exactly 67,290,826
bytes. Only Pelorin.exe comes from outside (--app); every other file is
synthetic content drawn from a fixed seed, and the resource pack
Pelorin.Resources.pak takes up whatever size and compressed size the
executable leaves, so that both totals stay exact whatever its size.

"fixture NAME" writes one of the small releases used by unit tests (same
root folder and the same acceptance rules, a handful of files).

Every archive is re-read after writing and checked against the installer's
acceptance rules; the program exits with status 1 and a message if the check
fails, and with status 2 on a usage error.
"""

import argparse
import hashlib
import os
import random
import struct
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import content as c  # noqa: E402
import release_rules as rules  # noqa: E402

SEED = "pelorin-release-0.5.0"
ZLIB_LEVEL = 6
DOS_TIME = (12 << 11) | (0 << 5) | 0  # 12:00:00
DOS_DATE = ((2025 - 1980) << 9) | (3 << 5) | 14  # 2025-03-14
VERSION_MADE_BY = (3 << 8) | 20  # Unix, ZIP 2.0
VERSION_NEEDED = 20  # DEFLATE
MODE_FILE = 0o100644
MODE_EXECUTABLE = 0o100755

# The demo release's fixed figures.
DEMO_FILE_COUNT = 381
DEMO_TOP_LEVEL = 229
DEMO_LICENCE_FILES = 152
DEMO_FOLDERS = 166
DEMO_MAX_FOLDER_DEPTH = 10  # folders above the deepest file, "licenses" included
DEMO_LONGEST_NAME = 115
DEMO_LONGEST_COMPONENT = 53
DEMO_MIN_SIZE = 12
DEMO_MAX_SIZE = 35025408
DEMO_TOTAL_BYTES = 161545217
DEMO_ARCHIVE_SIZE = 67290826
DEMO_PRODUCT_FILES = 8
APP_NAME = b"Pelorin.exe"
PACK_NAME = b"Pelorin.Resources.pak"
PACK_MIN_SIZE = 6 << 20
PACK_MAX_SIZE = 24 << 20


class GenerationError(Exception):
    pass


# ---------------------------------------------------------------------------
# ZIP writing.

class Member:
    """One file ready to be written: name (full, with the root folder),
    uncompressed size, CRC-32, compressed bytes, flags and Unix mode."""

    __slots__ = ("name", "size", "crc", "data", "flags", "mode")

    def __init__(self, name, size, crc, data, flags, mode):
        self.name, self.size, self.crc, self.data = name, size, crc, data
        self.flags, self.mode = flags, mode


def deflate(data):
    compressor = zlib.compressobj(ZLIB_LEVEL, zlib.DEFLATED, -15, 8, zlib.Z_DEFAULT_STRATEGY)
    return compressor.compress(data) + compressor.flush()


def make_member(rel, data, utf8_flag=True, mode=MODE_FILE):
    flags = rules.FLAG_UTF8 if utf8_flag or any(b >= 0x80 for b in rel) else 0
    return Member(rules.ROOT_PREFIX + rel, len(data), zlib.crc32(data), deflate(data), flags, mode)


def header_overhead(full_names):
    """Archive bytes that are not compressed data: one local header and one
    central directory record per entry, and the end record."""
    return sum(2 * len(n) + rules.LOCAL_HEADER.size + rules.CENTRAL_HEADER.size
               for n in full_names) + rules.END_OF_CENTRAL_DIR.size


def write_zip(path, members):
    """Writes the members in the given order: no extra fields, no data
    descriptors, no comments, no folder entries, a fixed date and time."""
    out = bytearray()
    central = bytearray()
    for m in members:
        offset = len(out)
        out += rules.LOCAL_HEADER.pack(rules.LOCAL_HEADER_SIG, VERSION_NEEDED, m.flags, rules.METHOD_DEFLATE,
                                       DOS_TIME, DOS_DATE, m.crc, len(m.data), m.size, len(m.name), 0)
        out += m.name
        out += m.data
        central += rules.CENTRAL_HEADER.pack(rules.CENTRAL_HEADER_SIG, VERSION_MADE_BY, VERSION_NEEDED, m.flags,
                                             rules.METHOD_DEFLATE, DOS_TIME, DOS_DATE, m.crc, len(m.data),
                                             m.size, len(m.name), 0, 0, 0, 0, m.mode << 16, offset)
        central += m.name
    if len(members) >= 0xFFFF or len(out) + len(central) >= 0xFFFFFFFF:
        raise GenerationError("the release would need ZIP64")
    eocd = rules.END_OF_CENTRAL_DIR.pack(rules.END_OF_CENTRAL_DIR_SIG, 0, 0, len(members), len(members),
                                         len(central), len(out), 0)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(out)
        f.write(central)
        f.write(eocd)
    os.replace(tmp, path)


def read_back(path):
    with open(path, "rb") as f:
        return f.read()


# ---------------------------------------------------------------------------
# The demo release: names and sizes.

RUNTIME_LIBRARIES = """
Private.CoreLib Private.Xml Private.Xml.Linq Private.Uri Private.DataContractSerialization
Runtime Runtime.Extensions Runtime.InteropServices Runtime.InteropServices.RuntimeInformation
Runtime.Intrinsics Runtime.Loader Runtime.Numerics Runtime.Serialization
Runtime.Serialization.Formatters Runtime.Serialization.Json Runtime.Serialization.Primitives
Runtime.Serialization.Xml Runtime.CompilerServices.Unsafe Runtime.CompilerServices.VisualC
Runtime.Handles Resources.ResourceManager Resources.Reader Resources.Writer Collections
Collections.Concurrent Collections.Immutable Collections.NonGeneric Collections.Sorted
ComponentModel ComponentModel.Annotations ComponentModel.EventBasedAsync
ComponentModel.Primitives ComponentModel.TypeConverter Console Data.Common
Data.DataSetExtensions Diagnostics.Contracts Diagnostics.Debug Diagnostics.DiagnosticSource
Diagnostics.FileVersionInfo Diagnostics.Process Diagnostics.StackTrace
Diagnostics.TextWriterTraceListener Diagnostics.Tools Diagnostics.TraceSource
Diagnostics.Tracing Drawing.Primitives Dynamic.Runtime Formats.Asn1 Formats.Tar
Globalization Globalization.Calendars Globalization.Extensions IO IO.Compression
IO.Compression.Brotli IO.Compression.ZipFile IO.FileSystem IO.FileSystem.AccessControl
IO.FileSystem.DriveInfo IO.FileSystem.Watcher IO.IsolatedStorage IO.MemoryMappedFiles
IO.Pipes IO.Pipes.AccessControl IO.UnmanagedMemoryStream Linq Linq.Expressions Linq.Parallel
Linq.Queryable Memory Net Net.Http Net.Http.Json Net.HttpListener Net.Mail
Net.NameResolution Net.NetworkInformation Net.Ping Net.Primitives Net.Quic Net.Requests
Net.Security Net.ServicePoint Net.Sockets Net.WebClient Net.WebHeaderCollection Net.WebProxy
Net.WebSockets Net.WebSockets.Client Numerics Numerics.Vectors ObjectModel Reflection
Reflection.DispatchProxy Reflection.Emit Reflection.Emit.ILGeneration
Reflection.Emit.Lightweight Reflection.Extensions Reflection.Metadata Reflection.Primitives
Reflection.TypeExtensions Security.AccessControl Security.Claims Security.Cryptography
Security.Cryptography.Algorithms Security.Cryptography.Cng Security.Cryptography.Csp
Security.Cryptography.Encoding Security.Cryptography.OpenSsl Security.Cryptography.Primitives
Security.Cryptography.X509Certificates Security.Principal Security.Principal.Windows
Security.SecureString Text.Encoding Text.Encoding.CodePages Text.Encoding.Extensions
Text.Encodings.Web Text.Json Text.RegularExpressions Threading Threading.Channels
Threading.Overlapped Threading.Tasks Threading.Tasks.Dataflow Threading.Tasks.Extensions
Threading.Tasks.Parallel Threading.Thread Threading.ThreadPool Threading.Timer Transactions
Transactions.Local ValueTuple Web.HttpUtility Xml.ReaderWriter Xml.XDocument Xml.XPath
Xml.XPath.XDocument Xml.XmlSerializer Xml.XmlDocument Win32.Primitives Win32.Registry
AppContext Buffers Extensions.DependencyInjection Extensions.Hosting Extensions.Logging
Extensions.Logging.Abstractions Extensions.Options Extensions.Primitives
Extensions.Configuration Extensions.Configuration.Abstractions Extensions.FileProviders
""".split()

UI_LIBRARIES = """
Base Controls Controls.DataGrid Controls.ColorPicker Controls.ItemsRepeater
Controls.TreeDataGrid DesignerSupport Dialogs Markup Markup.Xaml Markup.Xaml.Loader Metal
MicroCom Native OpenGL Remote.Protocol Skia Themes.Fluent Themes.Simple Win32
Win32.Automation Direct2D1 FreeDesktop Diagnostics Fonts.Inter Fonts.Mono ReactiveUI
Xaml.Interactivity Xaml.Interactions Xaml.Interactions.Custom Svg Svg.Skia Animation Layout
Input Interactivity Visuals Styling Dispatcher Media Media.Imaging Platform
Rendering.Composition Text.Shaping Themes.Fluent.Icons
""".split()

# Native libraries with their sizes (multiples of the 512-byte file alignment).
# None is named like a library the system itself may load (zlib1.dll, for
# one): the application's folder comes first in the DLL search order, so such a
# file would be loaded into the started application in place of the real one.
NATIVE_LIBRARIES = [
    ("libtessel_render.dll", DEMO_MAX_SIZE), ("libtessel_text.dll", 3412480),
    ("libtessel_gl_egl.dll", 412160), ("libtessel_gl_gles.dll", 4105216),
    ("nimbiccore.dll", 7218688), ("nimbicjit.dll", 2904064), ("nimbichost.dll", 301568),
    ("nimbic_compression_native.dll", 917504), ("nimbic_crypto_native.dll", 203264),
    ("nimbic_io_native.dll", 104960), ("tunnel_crypto-3-x64.dll", 5123584),
    ("tunnel_ssl-3-x64.dll", 903168), ("tunnel_sodium.dll", 309760), ("tunnel_zlib.dll", 107520),
    ("tunnel_core_x64.dll", 6402048), ("netfilter_x64.dll", 1211904),
]

# Managed libraries whose size is fixed by name; the others are drawn at random.
LARGE_MANAGED = {
    "Nimbic.Private.CoreLib.dll": 11210752, "Nimbic.Private.Xml.dll": 8107008,
    "Nimbic.Linq.Expressions.dll": 3801088, "Nimbic.Data.Common.dll": 3102720,
    "Nimbic.Net.Http.dll": 2604544, "Nimbic.Private.DataContractSerialization.dll": 2203136,
    "Nimbic.Text.Json.dll": 1703424, "Nimbic.Text.RegularExpressions.dll": 1103360,
    "Nimbic.Collections.Immutable.dll": 1201664, "Nimbic.Reflection.Metadata.dll": 1101824,
    "Nimbic.Security.Cryptography.dll": 1902592, "Nimbic.ComponentModel.TypeConverter.dll": 803328,
    "Nimbic.Linq.dll": 503296, "Nimbic.Net.Quic.dll": 402944, "Nimbic.Net.Security.dll": 702976,
    "Tessel.Base.dll": 2101760, "Tessel.Controls.dll": 3600384, "Tessel.Themes.Fluent.dll": 3203072,
    "Tessel.Fonts.Inter.dll": 1903104, "Tessel.Fonts.Mono.dll": 902656, "Tessel.Skia.dll": 702464,
    "Tessel.Controls.DataGrid.dll": 1102848, "Tessel.Markup.Xaml.dll": 603648,
    "Tessel.Themes.Fluent.Icons.dll": 1204224, "Tessel.Svg.dll": 502784,
    "Pelorin.dll": 5802496, "Pelorin.Core.dll": 2301440, "Pelorin.Localization.dll": 903680,
}
# Share of embedded, already-compressed resources (images, fonts) per managed library.
EMBEDDED_RESOURCES = {
    "Tessel.Themes.Fluent.dll": 0.2, "Tessel.Fonts.Inter.dll": 0.45, "Tessel.Fonts.Mono.dll": 0.45,
    "Tessel.Themes.Fluent.Icons.dll": 0.35, "Tessel.Controls.dll": 0.06, "Pelorin.dll": 0.12,
    "Tessel.Svg.dll": 0.05, "Tessel.Controls.ColorPicker.dll": 0.2, "Tessel.Dialogs.dll": 0.15,
}

CYRILLIC_NAME = "Лицензионное соглашение.txt".encode("utf-8")

# Licence tree: third-party packages (folder per package and version)...
LICENCE_PACKAGES = """
tessel/11.1.3 tessel.controls.datagrid/11.1.3 tessel.controls.colorpicker/11.1.3
tessel.controls.itemsrepeater/11.1.3 tessel.controls.treedatagrid/11.1.0 tessel.desktop/11.1.3
tessel.diagnostics/11.1.3 tessel.fonts.inter/11.1.3 tessel.markup.xaml.loader/11.1.3
tessel.reactiveui/11.1.3 tessel.skia/11.1.3 tessel.themes.fluent/11.1.3 tessel.win32/11.1.3
nimbic.runtime.win-x64/8.0.11 nimbic.hostfxr.win-x64/8.0.11 nimbic.extensions.logging/8.0.1
nimbic.extensions.options/8.0.2 nimbic.extensions.primitives/8.0.0 nimbic.extensions.hosting/8.0.1
nimbic.extensions.configuration/8.0.0 nimbic.extensions.dependencyinjection/8.0.1
nimbic.extensions.fileproviders/8.0.0 nimbic.text.json/8.0.5 nimbic.reactive/6.0.1
nimbic.collections.immutable/8.0.0 nimbic.io.pipelines/8.0.0 nimbic.memory.pools/8.0.0
skialite.native.win-x64/2.88.8 harfbuzzlite.native.win-x64/7.3.0.2 angle.native.win-x64/2.1.22
reactivex.core/6.0.1 dynamicdata/8.4.1 splat/15.1.1 loglane/4.0.0 loglane.sinks.file/6.0.0
loglane.sinks.async/2.0.0 protowire.runtime/3.27.1 rpcnet.client/2.65.0 rpcnet.core.api/2.65.0
castlecrypto/2.4.0 resilience.policies/8.4.1 semver.tools/2.3.0 humanize.core/2.14.1
jsonpatch.lite/1.2.0 qrcode.lite/1.6.0 markdown.lite/0.37.0 svgskia.lite/1.0.0.18
""".split()

# ...native libraries (one folder each)...
LICENCE_NATIVES = """skia-lite harfbuzz-lite freetype libpng zlib openssl libsodium angle icu-lite
brotli expat pcre2 tun-adapter netfilter""".split()

# ...and vendored source trees, nested as deep as the sources themselves.
LICENCE_SOURCES = """
github.com/pelorin-vpn/tunnel-core/LICENSE
github.com/pelorin-vpn/tunnel-core/vendor/gostd.example/x/crypto/LICENSE
github.com/pelorin-vpn/tunnel-core/vendor/gostd.example/x/net/LICENSE
github.com/pelorin-vpn/tunnel-core/vendor/gostd.example/x/sys/LICENSE
github.com/pelorin-vpn/tunnel-core/vendor/gostd.example/x/text/LICENSE
github.com/pelorin-vpn/tunnel-core/vendor/gostd.example/x/time/LICENSE
github.com/pelorin-vpn/tunnel-core/vendor/gostd.example/x/mod/LICENSE
github.com/pelorin-vpn/tunnel-core/vendor/github.com/nyx-io/netlink-lite/LICENSE
github.com/pelorin-vpn/tunnel-core/vendor/github.com/qwave/dnsproto/LICENSE
github.com/pelorin-vpn/tunnel-core/vendor/github.com/flowlabs/pcap-go/LICENSE
github.com/pelorin-vpn/tunnel-core/vendor/github.com/flowlabs/pcap-go/NOTICE
github.com/pelorin-vpn/tunnel-core/vendor/netstack.dev/netstack/LICENSE
github.com/pelorin-vpn/tunnel-core/vendor/netstack.dev/netstack/pkg/tcpip/NOTICE
github.com/tessel-ui/tessel-render/LICENSE
github.com/tessel-ui/tessel-render/third_party/skia-lite/LICENSE
github.com/tessel-ui/tessel-render/third_party/skia-lite/third_party/libpng/LICENSE
github.com/tessel-ui/tessel-render/third_party/skia-lite/third_party/zlib/LICENSE
github.com/tessel-ui/tessel-render/third_party/skia-lite/third_party/freetype/docs/FTL.TXT
github.com/tessel-ui/tessel-render/third_party/skia-lite/third_party/freetype/docs/GPLv2.TXT
github.com/tessel-ui/tessel-render/third_party/skia-lite/third_party/libjpeg-turbo/LICENSE.md
github.com/tessel-ui/tessel-render/third_party/skia-lite/third_party/expat/COPYING
github.com/tessel-ui/tessel-render/third_party/harfbuzz-lite/COPYING
github.com/tessel-ui/tessel-render/third_party/harfbuzz-lite/src/ucdn/COPYING
github.com/tessel-ui/tessel-render/third_party/angle/src/third_party/ceval/LICENSE
gitlab.com/wg-tools/embeddable-lite/COPYING
bitbucket.org/lzlabs/lz4-lite/LICENSE
codeberg.org/pelorin-deps/winsock-shim/third_party/mingw-lite/crt/licenses/COPYING.MinGW-w64-rt.md
""".split()


def _round512(n):
    return max(512, n - n % 512)


def demo_plan(app_size):
    """The demo release as a list of (relative name, size, kind, extra): every
    size is fixed here except the resource pack's, which is the remainder."""
    r = random.Random(SEED + "/sizes")
    plan = []

    def add(name, size, kind, extra=None):
        plan.append((name.encode("utf-8") if isinstance(name, str) else name, size, kind, extra))

    # Product files.
    add(APP_NAME, app_size, "app")
    for name in ("Pelorin.dll", "Pelorin.Core.dll", "Pelorin.Localization.dll"):
        add(name, LARGE_MANAGED[name], "managed", EMBEDDED_RESOURCES.get(name, 0.0))
    add("Pelorin.Tunnel.dll", 1602048, "native")
    add("Pelorin.deps.json", 183117, "deps")
    add("Pelorin.runtimeconfig.json", 611, "config-json")
    add(PACK_NAME, None, "pack")
    # Notices and configuration.
    add(CYRILLIC_NAME, 24381, "russian")
    add("THIRD-PARTY-NOTICES.txt", 121437, "prose")
    add("LICENSE.txt", 3178, "licence", (0, "Pelorin Labs"))
    add("appsettings.json", 1873, "config-json")
    add("logging.config.xml", 5120, "config-xml")
    add("tessel.theme.json", 7931, "config-json")
    # Native libraries.
    for name, size in NATIVE_LIBRARIES:
        add(name, size, "native")
    # Managed libraries of the UI framework and of the runtime.
    for prefix, names in (("Tessel.", UI_LIBRARIES), ("Nimbic.", RUNTIME_LIBRARIES)):
        for short in names:
            name = prefix + short + ".dll"
            size = LARGE_MANAGED.get(name)
            if size is None:
                median = 150000 if prefix == "Tessel." else 38000
                size = _round512(int(min(700000, max(6000, r.lognormvariate(0, 0.9) * median))))
            add(name, size, "managed", EMBEDDED_RESOURCES.get(name, 0.0))

    # The licence tree.
    add("licenses/README.txt", 2390, "prose")
    add("licenses/index.json", 18822, "config-json")
    families = [0, 1, 2, 0, 0, 3, 1, 0, 4, 1, 0, 2, 5]
    licence_sizes = {0: 1081, 1: 11357, 2: 1503, 3: 26430, 4: 705, 5: 3321}
    for i, pkg in enumerate(LICENCE_PACKAGES):
        pkg_id, version = pkg.split("/")
        family = families[i % len(families)]
        lic = "LICENSE.md" if pkg_id.startswith("tessel") else "LICENSE.txt"
        size = licence_sizes[family] + r.randrange(0, 200)
        add("licenses/packages/%s/%s/%s" % (pkg_id, version, lic), size, "licence", (family, pkg_id))
        desc = ("%s.package.xml" % pkg_id) if pkg_id.startswith(("tessel", "nimbic")) else "package.json"
        add("licenses/packages/%s/%s/%s" % (pkg_id, version, desc), r.randrange(600, 2400),
            "pkg-xml" if desc.endswith(".xml") else "pkg-json", (pkg_id, version))
    for i, lib in enumerate(LICENCE_NATIVES):
        family = families[(i + 5) % len(families)]
        add("licenses/native/%s/COPYING" % lib, licence_sizes[family] + r.randrange(0, 300), "licence",
            (family, lib))
        add("licenses/native/%s/package.json" % lib, r.randrange(500, 1500), "pkg-json", (lib, "1.0"))
    add("licenses/native/zlib/VERSION", DEMO_MIN_SIZE, "version")
    for i, path in enumerate(LICENCE_SOURCES):
        family = families[(i + 2) % len(families)]
        add("licenses/sources/" + path, licence_sizes[family] + r.randrange(0, 400), "licence",
            (family, path.split("/")[-2]))

    fixed = sum(size for _, size, _, _ in plan if size is not None)
    pack_size = DEMO_TOTAL_BYTES - fixed
    if not PACK_MIN_SIZE <= pack_size <= PACK_MAX_SIZE:
        raise GenerationError("Pelorin.exe of %d bytes leaves %d bytes for %s, which needs %d to %d; "
                              "the executable may be at most %d bytes"
                              % (app_size, pack_size, PACK_NAME.decode(), PACK_MIN_SIZE, PACK_MAX_SIZE,
                                 app_size + pack_size - PACK_MIN_SIZE))
    return [(n, pack_size if s is None else s, k, e) for n, s, k, e in plan]


# ---------------------------------------------------------------------------
# Contents.

NATIVE_SECTIONS = [
    (0.62, c.KIND_MACHINE_CODE, c.machine_code),  # .text
    (0.12, c.KIND_STRINGS, c.identifiers),  # .rdata strings
    (0.10, c.KIND_TABLES, c.tables),  # .rdata tables, imports
    (0.08, c.KIND_PADDING, lambda r, n: c.zeros(n)),  # .data
    (0.05, c.KIND_TABLES, lambda r, n: c.tables(r, n, 12)),  # .pdata
    (0.02, c.KIND_TABLES, lambda r, n: c.tables(r, n, 8)),  # .reloc
]


def managed_sections(resources):
    sections = [
        (0.40, c.KIND_IL_CODE, c.il_code),
        (0.16, c.KIND_TABLES, c.tables),
        (0.18, c.KIND_STRINGS, c.identifiers),
        (0.08, c.KIND_STRINGS, c.utf16_strings),
        (0.08, c.KIND_TABLES, c.blob),
        (0.10, c.KIND_PADDING, lambda r, n: c.zeros(n)),
    ]
    if resources:
        scale = (1 - resources) / sum(w for w, _, _ in sections)
        sections = [(w * scale, k, g) for w, k, g in sections]
        sections.append((resources, c.KIND_PACKED, lambda r, n: c.packed(r, n, b"\x89PNG\r\n\x1a\n")))
    return sections


def build_file(rel, size, kind, extra, app, mix, managed_names):
    """The bytes of one planned file (not the resource pack)."""
    r = random.Random("%s/%s" % (SEED, rel.decode("utf-8")))
    if kind == "app":
        data = app
        mix[c.KIND_APPLICATION] += len(data)
    elif kind == "native":
        data = c.pe_image(r, size, mix, NATIVE_SECTIONS)
    elif kind == "managed":
        data = c.pe_image(r, size, mix, managed_sections(extra))
    else:
        if kind == "deps":
            data = c.deps_json(r, managed_names, size)
        elif kind == "config-json":
            data = c.config_json(r, size)
        elif kind == "config-xml":
            data = c.config_xml(r, size)
        elif kind == "russian":
            data = c.russian_text(r, size)
        elif kind == "prose":
            data = c.prose(r, size)
        elif kind == "licence":
            family, holder = extra
            data = c.licence_text(family, "The %s Authors" % holder, 2015 + r.randrange(10), size)
        elif kind == "pkg-xml":
            data = c.package_xml(r, extra[0], extra[1], "MIT", size)
        elif kind == "pkg-json":
            data = c.package_json(r, extra[0], extra[1], "BSD-3-Clause", size)
        elif kind == "version":
            data = c.fit(b"2.11.0-rc.1\n", size)
        else:
            raise GenerationError("unknown content kind %r" % kind)
        mix[c.KIND_TEXT] += len(data)
    if len(data) != size:
        raise GenerationError("%s: built %d bytes instead of %d" % (rel.decode(), len(data), size))
    return data


class ResourcePack:
    """Pelorin.Resources.pak: an index, then packed images (random-like) and
    raw bitmaps (rows of flat colour, very compressible). The split between
    the two is the one free parameter of the demo release: it sets the pack's
    compressed size without changing its size."""

    HEADER = 4096

    def __init__(self, size):
        self.size = size
        r = random.Random(SEED + "/pack")
        self.packed_pool = r.randbytes(size)
        rows = []
        for _ in range(64):
            colour = r.randbytes(4)
            edge = r.randbytes(4)
            rows.append(edge + colour * 127 + edge)  # 516-byte rows
        self.rows = rows
        self.row_order = [r.randrange(64) for _ in range(size // 516 + 66)]
        self.trials = 0
        self.header_rng_seed = SEED + "/pack-index"

    def build(self, packed_bytes, variant=0):
        r = random.Random("%s/%d" % (self.header_rng_seed, variant))
        raw_len = self.size - self.HEADER - packed_bytes
        entries = []
        for i in range(128):
            entries.append(struct.pack("<8sII", b"img%05d" % i, r.randrange(1 << 20), r.randrange(1 << 16)))
        header = c.fit(b"PELPAK\x01\x00" + struct.pack("<II", packed_bytes, raw_len) + b"".join(entries),
                       self.HEADER)
        packed = self.packed_pool[:packed_bytes]
        start = variant % 64
        raw = b"".join(self.rows[i] for i in self.row_order[start:start + raw_len // 516 + 2])
        return header + packed + raw[:raw_len]

    def compressed_size(self, packed_bytes, variant):
        self.trials += 1
        return len(deflate(self.build(packed_bytes, variant)))

    def tune(self, target):
        """Finds contents whose DEFLATE output is exactly target bytes.

        The compressed size grows by about one byte per packed byte: a few
        secant steps get within a few bytes, then bisection finds the first
        split that reaches the target. Where the size jumps over the target (a
        new stored block costs its 5-byte header at once), another variant of
        the index shifts the block boundaries and the search starts again."""
        lo_limit, hi_limit = 0, self.size - self.HEADER

        def clamp(k):
            return max(lo_limit, min(hi_limit, k))

        for variant in range(16):
            seen = {}

            def size_at(k):
                if k not in seen:
                    seen[k] = self.compressed_size(k, variant)
                return seen[k]

            k = clamp(target - 16384)
            for _ in range(40):
                step = target - size_at(k)
                if abs(step) <= 8:
                    break
                k = clamp(k + step)
            lo, hi = clamp(k - 64), clamp(k + 64)
            if size_at(lo) > target or size_at(hi) < target:
                continue
            while hi - lo > 1:
                mid = (lo + hi) // 2
                if size_at(mid) < target:
                    lo = mid
                else:
                    hi = mid
            for k in (lo, hi):
                if size_at(k) == target:
                    return self.build(k, variant), k, variant
        raise GenerationError("cannot tune %s to %d compressed bytes" % (PACK_NAME.decode(), target))


def build_demo(app, out):
    started = time.monotonic()
    plan = demo_plan(len(app))
    managed_names = [n.decode()[:-4] for n, _, k, _ in plan if k == "managed"]
    mix = c.Mix()
    members = {}
    for rel, size, kind, extra in plan:
        if kind == "pack":
            continue
        data = build_file(rel, size, kind, extra, app, mix, managed_names)
        mode = MODE_EXECUTABLE if rel.endswith((b".exe", b".dll")) else MODE_FILE
        members[rel] = make_member(rel, data, mode=mode)

    pack_size = next(s for n, s, k, _ in plan if k == "pack")
    overhead = header_overhead([rules.ROOT_PREFIX + n for n, _, _, _ in plan])
    target = DEMO_ARCHIVE_SIZE - overhead - sum(len(m.data) for m in members.values())
    pack = ResourcePack(pack_size)
    if not 0 < target < pack_size:
        raise GenerationError("the other files compress to %d bytes; %s cannot make up the rest"
                              % (DEMO_ARCHIVE_SIZE - overhead - target, PACK_NAME.decode()))
    pack_data, packed_bytes, _variant = pack.tune(target)
    stats = {"pack size": pack_size, "pack compressed": target, "pack trials": pack.trials}
    mix[c.KIND_TABLES] += ResourcePack.HEADER
    mix[c.KIND_PACKED] += packed_bytes
    mix[c.KIND_BITMAPS] += pack_size - ResourcePack.HEADER - packed_bytes
    members[PACK_NAME] = make_member(PACK_NAME, pack_data)

    write_zip(out, [members[name] for name in sorted(members)])
    del members
    data = read_back(out)
    entries = check_release(data, {APP_NAME: app})
    check_demo_shape(data, entries)
    stats["seconds"] = time.monotonic() - started
    return data, mix, stats


# ---------------------------------------------------------------------------
# Fixture releases for unit tests.

def _fixture_small(app):
    r = random.Random(SEED + "/fixture-small")
    mix = c.Mix()
    return [
        (APP_NAME, app),
        (b"Pelorin.dll", c.pe_image(r, 9000, mix, managed_sections(0.1))),
        (b"nimbiccore.dll", c.pe_image(r, 14000, mix, NATIVE_SECTIONS)),
        ("Прочти меня.txt".encode("utf-8"), c.russian_text(r, 1500)),
        (b"appsettings.json", c.config_json(r, 700)),
        (b"licenses/README.txt", c.prose(r, 900)),
        (b"licenses/packages/tessel/11.1.3/LICENSE.md", c.licence_text(0, "The Tessel Authors", 2021, 1100)),
        (b"licenses/packages/tessel/11.1.3/tessel.package.xml", c.package_xml(r, "tessel", "11.1.3", "MIT", 800)),
        (b"licenses/sources/github.com/x/y/NOTICE", c.prose(r, 300)),
    ]


def build_fixture(name, app, out):
    files, order, utf8_all = FIXTURES[name](app)
    members = [make_member(rel, data, utf8_flag=utf8_all) for rel, data in files]
    by_name = {m.name: m for m in members}
    names = sorted(by_name)
    if order == "reversed":
        names.reverse()
    write_zip(out, [by_name[n] for n in names])
    check_release(read_back(out), {APP_NAME: app})


FIXTURES = {
    # Ascending archive order; the UTF-8 flag only where a name needs it.
    "small": lambda app: (_fixture_small(app), "ascending", False),
    # The same files in descending archive order, the UTF-8 flag on every entry.
    "reversed": lambda app: (_fixture_small(app), "reversed", True),
}


# ---------------------------------------------------------------------------
# Checks of the written archive.

def check_release(data, expected_files):
    """Re-reads a written archive with the installer's rules; also checks the
    files given by name (the executable) byte for byte."""
    try:
        entries = rules.read_release(data)
    except rules.ReleaseError as exc:
        raise GenerationError("the written archive would be refused: %s" % exc)
    by_name = {e.name: e for e in entries}
    for name, content in expected_files.items():
        entry = by_name.get(name)
        if entry is None or entry.sha256 != hashlib.sha256(content).hexdigest():
            raise GenerationError("%s in the archive is not the given file" % name.decode())
    return entries


def shape_problems(archive_size, entries):
    """Differences between a release and the demo release's fixed figures."""
    names = [e.name for e in entries]
    sizes = [e.size for e in entries]
    folders = rules.implied_folders(names)
    top = [n for n in names if b"/" not in n]
    nested = [n for n in names if n.startswith(b"licenses/")]
    facts = [
        ("files", len(names), DEMO_FILE_COUNT),
        ("top-level files", len(top), DEMO_TOP_LEVEL),
        ("files under licenses/", len(nested), DEMO_LICENCE_FILES),
        ("folders", len(folders), DEMO_FOLDERS),
        ("top-level folders", sorted(f for f in folders if b"/" not in f), [b"licenses"]),
        ("deepest folder level", max(n.count(b"/") for n in names), DEMO_MAX_FOLDER_DEPTH),
        ("longest name", max(map(len, names)), DEMO_LONGEST_NAME),
        ("longest component", max(len(p) for n in names for p in n.split(b"/")), DEMO_LONGEST_COMPONENT),
        ("smallest file", min(sizes), DEMO_MIN_SIZE),
        ("largest file", max(sizes), DEMO_MAX_SIZE),
        ("total bytes", sum(sizes), DEMO_TOTAL_BYTES),
        ("archive bytes", archive_size, DEMO_ARCHIVE_SIZE),
        ("product files", len([n for n in names if n.startswith(b"Pelorin")]), DEMO_PRODUCT_FILES),
        ("non-ASCII names", [n for n in names if any(b >= 0x80 for b in n)], [CYRILLIC_NAME]),
        ("has Pelorin.exe", APP_NAME in names, True),
    ]
    return ["%s: %r, expected %r" % (what, got, want) for what, got, want in facts if got != want]


def check_demo_shape(data, entries):
    problems = shape_problems(len(data), entries)
    for e in entries:
        if not e.flags & rules.FLAG_UTF8:
            problems.append("%s: UTF-8 flag missing" % e.name.decode())
    if problems:
        raise GenerationError("the demo release is off:\n  " + "\n  ".join(problems))


# ---------------------------------------------------------------------------

def main(argv=None):
    parser = argparse.ArgumentParser(description="Builds release archives for the setup program.")
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser("demo", help="the demo release 0.5.0 (381 files, 67,290,826 bytes)")
    fixture = sub.add_parser("fixture", help="a small release for unit tests")
    fixture.add_argument("name", choices=sorted(FIXTURES), help="which fixture")
    for p in (demo, fixture):
        p.add_argument("--app", required=True, help="the application executable, stored as Pelorin.exe")
        p.add_argument("--out", required=True, help="the archive to write")
    demo.add_argument("--report", action="store_true", help="print size, timing and content figures")
    args = parser.parse_args(argv)

    try:
        with open(args.app, "rb") as f:
            app = f.read()
    except OSError as exc:
        print("make_release: cannot read --app: %s" % exc, file=sys.stderr)
        return 2
    try:
        if args.command == "demo":
            data, mix, stats = build_demo(app, args.out)
            if args.report:
                print_report(data, mix, stats)
        else:
            build_fixture(args.name, app, args.out)
    except GenerationError as exc:
        if os.path.exists(args.out):
            os.unlink(args.out)
        print("make_release: %s" % exc, file=sys.stderr)
        return 1
    return 0


def print_report(data, mix, stats):
    total = sum(mix.values())
    print("archive: %d bytes, sha256 %s" % (len(data), hashlib.sha256(data).hexdigest()))
    print("built and checked in %.1f s (zlib %s, level %d)"
          % (stats["seconds"], zlib.ZLIB_RUNTIME_VERSION, ZLIB_LEVEL))
    print("content: %d bytes, archive/content %.4f" % (total, len(data) / total))
    print("%s: %d bytes, deflated to %d after %d trial compressions"
          % (PACK_NAME.decode(), stats["pack size"], stats["pack compressed"], stats["pack trials"]))
    for kind, n in sorted(mix.items(), key=lambda kv: -kv[1]):
        print("  %-26s %11d  %5.1f%%" % (kind, n, 100.0 * n / total))


if __name__ == "__main__":
    sys.exit(main())
