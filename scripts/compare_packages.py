#!/usr/bin/env python3
"""Compares two folders of packages byte for byte:

    compare_packages.py FOLDER_A FOLDER_B

Prints one line per file; for a file that differs, the first member that differs and how
(inside a .deb: the ar member, then the tar member; inside a .zip: the zip member). Exits 1
when anything differs or is missing on one side.
"""
import io
import os
import sys
import tarfile
import zipfile


def ar_members(data):
    """(name, bytes) of each member of an ar archive (a .deb)."""
    if not data.startswith(b"!<arch>\n"):
        raise ValueError("not an ar archive")
    pos, members = 8, []
    while pos < len(data):
        header = data[pos:pos + 60]
        name = header[:16].decode().strip().rstrip("/")
        size = int(header[48:58])
        members.append((name, header, data[pos + 60:pos + 60 + size]))
        pos += 60 + size + (size & 1)
    return members


def tar_members(data):
    with tarfile.open(fileobj=io.BytesIO(data)) as t:
        for m in t.getmembers():
            content = t.extractfile(m).read() if m.isfile() else b""
            meta = (m.type, m.mode, m.uid, m.gid, m.uname, m.gname, m.mtime, m.linkname)
            yield m.name, meta, content


def zip_members(data):
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        for i in z.infolist():
            meta = (i.date_time, i.external_attr, i.create_system, i.compress_type, i.extra)
            yield i.filename, meta, z.read(i)


def first_difference(a, b, members):
    """The first member that differs between two archives, as words; None if none does."""
    pairs = list(zip(members(a), members(b)))
    for (name_a, meta_a, content_a), (name_b, meta_b, content_b) in pairs:
        if name_a != name_b:
            return "member order or names: %s against %s" % (name_a, name_b)
        if meta_a != meta_b:
            return "%s: metadata %r against %r" % (name_a, meta_a, meta_b)
        if content_a != content_b:
            return "%s: content" % name_a
    count_a, count_b = len(list(members(a))), len(list(members(b)))
    if count_a != count_b:
        return "%d members against %d" % (count_a, count_b)
    return None


def deb_difference(a, b):
    members_a, members_b = ar_members(a), ar_members(b)
    for (name, header_a, data_a), (name_b, header_b, data_b) in zip(members_a, members_b):
        if name != name_b:
            return "ar members %s against %s" % (name, name_b)
        if data_a != data_b:
            if name.startswith(("data.tar", "control.tar")):
                inner = first_difference(data_a, data_b, tar_members)
                return "%s: %s" % (name, inner or "the compressed bytes (same members)")
            return name
        if header_a != header_b:
            return "%s: ar header %r against %r" % (name, header_a, header_b)
    return "ar: %d members against %d" % (len(members_a), len(members_b))


def difference(name, a, b):
    if name.endswith(".deb"):
        return deb_difference(a, b)
    if name.endswith(".zip"):
        return first_difference(a, b, zip_members) or "the archive's own bytes (same members)"
    lines = [(x, y) for x, y in zip(a.splitlines(), b.splitlines()) if x != y]
    return "first differing line: %r against %r" % lines[0] if lines else "length"


def main(folder_a, folder_b):
    names = sorted(set(os.listdir(folder_a)) | set(os.listdir(folder_b)))
    differing = 0
    for name in names:
        paths = [os.path.join(folder_a, name), os.path.join(folder_b, name)]
        missing = [p for p in paths if not os.path.isfile(p)]
        if missing:
            print("DIFFERS: %s: missing in %s" % (name, " and ".join(missing)))
            differing += 1
            continue
        a, b = (open(p, "rb").read() for p in paths)
        if a == b:
            print("same: %s (%d bytes)" % (name, len(a)))
        else:
            print("DIFFERS: %s: %s" % (name, difference(name, a, b)))
            differing += 1
    if not names:
        print("DIFFERS: no packages at all")
        differing = 1
    return 1 if differing else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
