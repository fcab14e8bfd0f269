#!/usr/bin/env python3
"""windres stores every class name of a dialog control in upper case; the template names the
progress bar "msctls_progress32". Puts the name back as written in a compiled .res file:
    fix_class_case.py IN.res OUT.res"""
import sys

NAME = "msctls_progress32"


def main(src, dst):
    data = open(src, "rb").read()
    upper = NAME.upper().encode("utf-16-le") + b"\0\0"
    if data.count(upper) != 1:
        sys.exit(f"{src}: expected the class name {NAME.upper()} exactly once")
    open(dst, "wb").write(data.replace(upper, NAME.encode("utf-16-le") + b"\0\0"))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
