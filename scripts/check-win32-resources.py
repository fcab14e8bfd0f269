#!/usr/bin/python3
"""Checks the resources of the built 32-bit Lumo_Tool.exe: the main dialog's template, its
empty dynamic layout, the icon, the version block and the manifest, byte for byte where the
program depends on them. Reads the PE file with pefile (Debian: python3-pefile).

    scripts/check-win32-resources.py build/win32/app/win32/Lumo_Tool.exe

Prints one line per check group and exits non-zero on the first group that fails."""
import struct
import sys
import xml.etree.ElementTree as ET

import pefile

ZH_CN = 2052
EN_US = 1033
RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 14, 16, 24

# The main dialog, in template order: id, class (atom or name), style, text, x, y, cx, cy.
BUTTON, STATIC = 0x0080, 0x0082
CONTROLS = [
    (1002, BUTTON, 0x50000007, "Device Disconnected", 7, 7, 195, 165),
    (1006, BUTTON, 0x50010000, "Update", 13, 139, 38, 12),
    (-1, STATIC, 0x50020000, "\u8FDE\u63A5\u6B65\u9AA4\uFF1A", 157, 139, 37, 10),
    (1015, STATIC, 0x50020000, "Press and hold the HOME button", 32, 47, 160, 13),
    (1014, STATIC, 0x50020000, "Operation Guide\uFF1A", 18, 33, 59, 8),
    (1017, STATIC, 0x50020000, "", 33, 107, 155, 19),
    (1018, "msctls_progress32", 0x50800000, "", 54, 139, 101, 12),
    (1016, STATIC, 0x50020000, "Then plug the USB into your computer", 32, 66, 161, 13),
    (1019, STATIC, 0x50020000, "", 32, 85, 159, 23),
]


class CheckFailed(Exception):
    pass


def expect(what, got, want):
    if got != want:
        raise CheckFailed(f"{what}: got {got!r}, want {want!r}")


def resources(pe):
    """{(type, name): [(language, bytes)]} with type and name as int or str."""
    out = {}
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        tkey = str(t.name) if t.name is not None else t.id
        for n in t.directory.entries:
            nkey = str(n.name) if n.name is not None else n.id
            for lang in n.directory.entries:
                data = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                out.setdefault((tkey, nkey), []).append((lang.id, data))
    return out


class Reader:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.pos)
        self.pos += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def sz_or_ord(self):
        if struct.unpack_from("<H", self.data, self.pos)[0] == 0xFFFF:
            self.pos += 2
            return self.take("H")
        end = self.pos
        while struct.unpack_from("<H", self.data, end)[0] != 0:
            end += 2
        text = self.data[self.pos:end].decode("utf-16-le")
        self.pos = end + 2
        return text

    def align(self, n):
        self.pos = (self.pos + n - 1) // n * n


def only(res, key, language):
    entries = res.get(key)
    if not entries:
        raise CheckFailed(f"resource {key} missing")
    expect(f"languages of {key}", [lang for lang, _ in entries], [language])
    return entries[0][1]


def check_inventory(pe, res):
    expect("machine", pe.FILE_HEADER.Machine, 0x14C)  # 32-bit x86
    expect("subsystem", pe.OPTIONAL_HEADER.Subsystem, 2)  # Windows GUI
    for (rtype, name), entries in res.items():
        want = EN_US if rtype == RT_MANIFEST else ZH_CN
        for lang, _ in entries:
            expect(f"language of {rtype}/{name}", lang, want)
    expect("manifests", [k for k in res if k[0] == RT_MANIFEST], [(RT_MANIFEST, 1)])
    expect("dialogs", [k for k in res if k[0] == RT_DIALOG], [(RT_DIALOG, 102)])
    expect("icon groups", [k for k in res if k[0] == RT_GROUP_ICON], [(RT_GROUP_ICON, 128)])


def check_dialog(res):
    r = Reader(only(res, (RT_DIALOG, 102), ZH_CN))
    expect("template version and signature", r.take("HH"), (1, 0xFFFF))
    help_id, ex_style, style, count = r.take("IIIH")
    expect("dialog help id", help_id, 0)
    expect("dialog extended style", hex(ex_style), hex(0x00040000))
    expect("dialog style", hex(style), hex(0x90CC0048))
    expect("control count", count, len(CONTROLS))
    expect("dialog rectangle", r.take("hhhh"), (0, 0, 209, 179))
    expect("menu", r.sz_or_ord(), "")
    expect("window class", r.sz_or_ord(), "")
    expect("caption", r.sz_or_ord(), "Orvel-M8 Firmware Update V0.42")
    expect("font size, weight, italic, charset", r.take("HHBB"), (9, 0, 0, 1))
    expect("font face", r.sz_or_ord(), "MS Shell Dlg")
    for i, (cid, cls, cstyle, text, x, y, cx, cy) in enumerate(CONTROLS):
        r.align(4)
        c_help, c_ex, c_style = r.take("III")
        rect = r.take("hhhh")
        c_id = r.take("i")
        c_class = r.sz_or_ord()
        c_text = r.sz_or_ord()
        extra = r.take("H")
        where = f"control {i + 1} ({cid})"
        expect(f"{where} help id", c_help, 0)
        expect(f"{where} extended style", c_ex, 0)
        expect(f"{where} style", hex(c_style), hex(cstyle))
        expect(f"{where} rectangle", rect, (x, y, cx, cy))
        expect(f"{where} id", c_id, cid)
        expect(f"{where} class", c_class, cls)
        expect(f"{where} text", c_text, text)
        expect(f"{where} creation data", extra, 0)
    expect("bytes after the last control", len(r.data[r.pos:].rstrip(b"\0")), 0)
    expect("dialog layout", only(res, ("AFX_DIALOG_LAYOUT", 102), ZH_CN), b"\x00\x00")


def check_icon(res):
    r = Reader(only(res, (RT_GROUP_ICON, 128), ZH_CN))
    expect("icon group header", r.take("HHH"), (0, 1, 1))
    width, height, colors, _, planes, bits, size, icon_id = r.take("BBBBHHIH")
    expect("icon size", (width, height), (32, 32))
    expect("icon colours, planes, bits", (colors, planes, bits), (0, 1, 32))
    image = only(res, (RT_ICON, icon_id), ZH_CN)
    expect("icon image size", len(image), size)
    header = struct.unpack_from("<IiiHH", image)
    expect("icon bitmap header", header, (40, 32, 64, 1, 32))


def check_version(pe, res):
    only(res, (RT_VERSION, 1), ZH_CN)
    fixed = pe.VS_FIXEDFILEINFO[0]
    expect("file version", (fixed.FileVersionMS, fixed.FileVersionLS), (0x00010000, 1))
    expect("product version", (fixed.ProductVersionMS, fixed.ProductVersionLS), (0x00010000, 1))
    expect("flag mask, flags", (fixed.FileFlagsMask, fixed.FileFlags), (0x3F, 0))
    expect("os, type, subtype", (fixed.FileOS, fixed.FileType, fixed.FileSubtype), (0x40004, 1, 0))
    expect("date", (fixed.FileDateMS, fixed.FileDateLS), (0, 0))
    tables, translations = [], []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            tables = info.StringTable
        elif info.Key == b"VarFileInfo":
            for var in info.Var:
                value = var.entry.get(b"Translation") or var.entry.get("Translation")
                translations.append(value.decode() if isinstance(value, bytes) else value)
    expect("string tables", [t.LangID for t in tables], [b"080404B0"])
    entries = tables[0].entries
    want = {
        b"FileDescription": b"Lumo_Tool",
        b"FileVersion": b"1.0.0.1",
        b"InternalName": b"Lumo_Tool.exe",
        b"OriginalFilename": b"Lumo_Tool.exe",
        b"ProductVersion": b"1.0.0.1",
    }
    for key, value in want.items():
        expect(f"version string {key.decode()}", entries.get(key), value)
    for key in (b"CompanyName", b"ProductName", b"LegalCopyright"):
        if key not in entries:
            raise CheckFailed(f"version string {key.decode()} missing")
    expect("translation", translations, ["0x0804 0x04b0"])


def check_manifest(res):
    data = only(res, (RT_MANIFEST, 1), EN_US)
    expect("manifest byte-order mark", data[:3], b"\xef\xbb\xbf")
    text = data[3:].decode("utf-8")
    expect("manifest declaration",
           text.startswith('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>'), True)
    expect("line breaks in the manifest", "\n" in text or "\r" in text, False)
    v1, v3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
    ws = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
    root = ET.fromstring(text.encode("utf-8"))
    expect("manifest root", (root.tag, root.get("manifestVersion")), (v1 + "assembly", "1.0"))
    expect("manifest element order", [child.tag for child in root],
           [v1 + "dependency", v3 + "trustInfo", v3 + "application"])
    identity = root.find(f"{v1}dependency/{v1}dependentAssembly/{v1}assemblyIdentity")
    expect("common-controls dependency", dict(identity.attrib), {
        "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
        "processorArchitecture": "x86", "publicKeyToken": "6595b64144ccf1df", "language": "*"})
    level = root.find(f"{v3}trustInfo/{v3}security/{v3}requestedPrivileges/"
                      f"{v3}requestedExecutionLevel")
    expect("execution level", dict(level.attrib), {"level": "asInvoker", "uiAccess": "false"})
    dpi = root.find(f"{v3}application/{v3}windowsSettings/{ws}dpiAware")
    expect("dpiAware", dpi.text if dpi is not None else None, "true")


def main(path):
    pe = pefile.PE(path)
    res = resources(pe)
    checks = [("inventory and languages", lambda: check_inventory(pe, res)),
              ("dialog 102 and its layout", lambda: check_dialog(res)),
              ("icon group 128", lambda: check_icon(res)),
              ("version block", lambda: check_version(pe, res)),
              ("manifest", lambda: check_manifest(res))]
    for name, check in checks:
        try:
            check()
        except CheckFailed as e:
            print(f"FAIL {name}: {e}")
            return 1
        print(f"ok   {name}")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1]))
