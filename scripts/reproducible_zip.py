#!/usr/bin/env python3
"""Zips a folder so that the same files give the same bytes, whoever zips them and when:

    reproducible_zip.py FOLDER OUT.zip

The folder's name is the zip's top folder. Members come in sorted order, without folder
entries, all with the time SOURCE_DATE_EPOCH (UTC; a zip cannot hold a time before 1980) and
mode 0755 (executable) or 0644; no owner, no extra fields.
"""
import os
import sys
import time
import zipfile


def member_time():
    seconds = int(os.environ["SOURCE_DATE_EPOCH"])
    return max(time.gmtime(seconds)[:6], (1980, 1, 1, 0, 0, 0))


def files_under(folder):
    found = []
    for parent, dirs, names in os.walk(folder):
        dirs.sort()
        found += [os.path.join(parent, n) for n in names]
    return sorted(found, key=lambda p: os.path.relpath(p, folder).split(os.sep))


def main(folder, out):
    folder = os.path.abspath(folder)
    top = os.path.basename(folder)
    when = member_time()
    with zipfile.ZipFile(out + ".part", "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        for path in files_under(folder):
            if os.path.islink(path):
                sys.exit("reproducible_zip.py: %s is a link; a zip for Windows holds files" % path)
            name = "/".join([top] + os.path.relpath(path, folder).split(os.sep))
            info = zipfile.ZipInfo(name, when)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3  # Unix, so that the mode below means what it says
            mode = 0o755 if os.access(path, os.X_OK) else 0o644
            info.external_attr = (0o100000 | mode) << 16
            with open(path, "rb") as f:
                z.writestr(info, f.read(), compresslevel=9)
    os.replace(out + ".part", out)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
