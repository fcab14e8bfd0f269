#!/usr/bin/env python3
"""The layer check itself: which includes it lets through and which it names."""
import os
import runpy
import sys
import types
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
# The script's functions, loaded from its file (its name is no module name).
check_layers = types.SimpleNamespace(
    **runpy.run_path(os.path.join(HERE, "..", "..", "scripts", "check-layers.py")))

FOLDERS = {"firmware", "protocol", "ports", "core", "platform", "ui", "cli", "app", "web",
           "emulator", "tests", "bench", "fuzz"}

# file, what it includes, allowed
CASES = [
    ("core/device_link.cpp", "ports/hid_access.h", True),
    ("core/lumo_tool.cpp", "ui/dialog_template.h", False),      # the core reaching up
    ("core/lumo_tool.cpp", "platform/linux/hidraw_access.h", False),
    ("ports/hid_access.h", "protocol/update_report.h", True),
    ("protocol/update_report.h", "ports/pause.h", False),
    ("platform/linux/hidraw_access.cpp", "core/device_link.h", True),
    ("ui/qt/lumo_tool_dialog.cpp", "cli/options.h", False),      # siblings stay apart
    ("cli/flash_run.cpp", "core/lumo_tool.h", True),
    ("app/linux/main.cpp", "ui/qt/lumo_tool_dialog.h", True),
    ("web/main.cpp", "app/win32/lumo_tool_app.h", False),
    ("emulator/bootloader_model.cpp", "protocol/update_report.h", True),
    ("emulator/emulated_bus.cpp", "core/device_link.h", False),
    ("tests/core/lumo_tool_test.cpp", "app/win32/lumo_tool_app.h", True),
    ("core/lumo_tool.cpp", "lumo_tool.h", True),                 # a neighbour, no folder
    ("core/lumo_tool.cpp", "gtest/gtest.h", True),               # not one of ours
]


class CheckLayersTest(unittest.TestCase):
    def test_cases(self):
        for path, included, allowed in CASES:
            with self.subTest(path=path, included=included):
                text = f'// a file\n#include "{included}"\n'
                found = list(check_layers.violations([(path, text)], FOLDERS))
                self.assertEqual(found == [], allowed, found)
                if not allowed:
                    self.assertEqual(found, [(path, 2, included)])

    def test_this_tree(self):
        root = os.path.join(HERE, "..", "..")
        self.assertEqual(check_layers.main(["check-layers.py", root]), 0)


if __name__ == "__main__":
    sys.exit(unittest.main())
