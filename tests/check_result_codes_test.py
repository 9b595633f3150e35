#!/usr/bin/python3
"""check_result_codes.py against copies of the tables with one drift each: every drift is
reported with its place, call and code, and a command line that names codes by their
constants is read, not refused.
usage: check_result_codes_test.py SOURCE_ROOT"""

import importlib
import pathlib
import shutil
import sys
import tempfile
import unittest

ROOT = pathlib.Path(sys.argv.pop(1) if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
FILES = ("include/TolvexOmbriVoice.h", "host/host_support.cpp", "python/ombrivoice/__init__.py",
         "README.md", "man/ombrivoice.1")

sys.path.insert(0, str(ROOT / "tests"))
checker = importlib.import_module("check_result_codes")

STOP_LIST = "    OMBRIVOICE_RECORDER_STOP_RESULTS(OMBRIVOICE_HOST_DESCRIBED_)\n"
NOT_RECORDING = "no recording was running; nothing was done"


class Drifts(unittest.TestCase):
    def setUp(self):
        self.dir = None
        self.fresh()

    def fresh(self):
        """A new copy of the tables, the Python package in it imported afresh."""
        self.tearDown()
        self.dir = tempfile.TemporaryDirectory()
        self.root = pathlib.Path(self.dir.name)
        for name in FILES:
            (self.root / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy(ROOT / name, self.root / name)

    def tearDown(self):
        if self.dir:
            sys.path[:] = [p for p in sys.path if p != str(self.root / "python")]
            self.dir.cleanup()
        sys.modules.pop("ombrivoice", None)

    def edit(self, name, old, new):
        path = self.root / name
        text = path.read_text()
        self.assertIn(old, text, name)
        path.write_text(text.replace(old, new, 1))

    def problems(self):
        return checker.check(self.root)

    def assertReported(self, *words):
        problems = self.problems()
        self.assertTrue(any(all(w in p for w in words) for p in problems), (words, problems))

    def test_the_source_tree_has_no_drift(self):
        self.assertEqual(self.problems(), [])

    def test_a_meaning_changed_in_one_copy_is_named_with_its_place_and_code(self):
        for name, old, place in (
                ("python/ombrivoice/__init__.py", "(a full disk)\",\n}", "the Python package"),
                ("README.md", "| 5 | writing the local file failed (a full disk) |", "the README"),
                ("man/ombrivoice.1", "\nwriting the local file failed (a full disk)\n", "the man page")):
            with self.subTest(place):
                self.fresh()
                self.edit(name, old, old.replace("(a full disk)", "(disk full?)"))
                problems = self.problems()
                self.assertEqual(len(problems), 1, problems)
                self.assertIn(f"download: {place} gives code 5 the meaning", problems[0])

    def test_a_header_meaning_changed_alone_is_reported_everywhere_but_the_command_line(self):
        self.edit("include/TolvexOmbriVoice.h", '"and the tail with the key) would exceed 2147483647 bytes',
                  '"and the tail with the key) would reach 2 GiB')
        problems = self.problems()
        self.assertEqual(sorted(p.split(" gives")[0] for p in problems),
                         ["upload: the Python package", "upload: the README", "upload: the man page"])
        self.assertTrue(all("code 11 " in p for p in problems), problems)

    def test_a_code_missing_or_extra_is_named(self):
        self.edit("README.md", "| 13 | the service answered", "| 14 | the service answered")
        self.assertReported("upload: the README lacks code 13")
        self.assertReported("upload: the README has code 14, which the header does not list")

    def test_the_stops_codes_are_checked_too(self):
        self.edit("python/ombrivoice/__init__.py", "    -2: ", "    -3: ")
        self.assertReported("recorder stop: the Python package lacks code -2")
        self.assertReported("recorder stop: the Python package has code -3")

    def test_a_command_line_naming_codes_by_their_constants_is_resolved_through_the_header(self):
        cases = ("    case OMBRIVOICE_RECORDER_NOT_RECORDING: return Described(code, \"%s\");\n"
                 "    case OMBRIVOICE_RECORDER_BROKE_OFF: return Described(code, \"broke off\");\n")
        self.edit("host/host_support.cpp", STOP_LIST, cases % NOT_RECORDING)
        problems = self.problems()
        self.assertEqual(len(problems), 1, problems)
        self.assertIn("recorder stop: the command line gives code -2 the meaning 'broke off'", problems[0])

    def test_a_command_line_constant_the_header_lacks_is_reported_not_a_crash(self):
        self.edit("host/host_support.cpp", STOP_LIST,
                  "    case OMBRIVOICE_RECORDER_GONE: return Described(code, \"%s\");\n" % NOT_RECORDING)
        self.assertReported("recorder stop", "the command line", "OMBRIVOICE_RECORDER_GONE",
                            "names no constant of the header")

    def test_a_command_line_list_with_a_helper_that_drops_the_meaning_is_reported(self):
        self.edit("host/host_support.cpp", "    return Described(code, meaning);",
                  "    return Described(code, \"failed\");")
        self.assertReported("upload: the command line", "OMBRIVOICE_HOST_DESCRIBED_ does not make")

    def test_a_second_definition_of_a_constant_in_the_header_is_refused(self):
        self.edit("include/TolvexOmbriVoice.h", "#define OMBRIVOICE_OK 999\n",
                  "#define OMBRIVOICE_OK 999\n#define OMBRIVOICE_UPLOAD_KEY_INVALID 10\n")
        self.assertReported("OMBRIVOICE_UPLOAD_KEY_INVALID is #defined besides its list")


if __name__ == "__main__":
    unittest.main()
