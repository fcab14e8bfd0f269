#!/usr/bin/python3
"""Checks that the Windows programs still load on Windows 7: the calls that came with Windows 8
(the update timer's and the power-throttling opt-out's) are looked up at run time, never
imported, since Windows refuses to start a program that imports a function its DLL lacks.
Reads the PE files with pefile (Debian: python3-pefile).

    late_calls_not_imported.py PROGRAM.exe...
"""
import sys

import pefile

# Looked up with GetProcAddress (platform/win32/timer_resolution.cpp).
LATE_CALLS = {"SetCoalescableTimer", "SetProcessInformation"}
# Imported as usual: on every Windows, and proof that the table was read.
EXPECTED = {"timeBeginPeriod", "timeEndPeriod"}


def imported(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    return {imp.name.decode() for entry in pe.DIRECTORY_ENTRY_IMPORT
            for imp in entry.imports if imp.name}


failed = False
for program in sys.argv[1:]:
    names = imported(program)
    late = sorted(LATE_CALLS & names)
    missing = sorted(EXPECTED - names)
    if late or missing:
        failed = True
        print(f"FAIL {program}: imports {late}, lacks {missing}")
    else:
        print(f"ok   {program}: none of {sorted(LATE_CALLS)} imported")
sys.exit(1 if failed or len(sys.argv) < 2 else 0)
