#!/usr/bin/python3
"""The public header's lists of result codes, X(code, constant, meaning) lines under each call,
are the one table of codes and their meanings. The command line (host/host_support.cpp), the
Python package, the README's C API tables and the man page's RESULT CODES must give each call
exactly the header's codes (the recorder's stop included), each with the header's meaning word
for word, so that a code or a meaning cannot change in one place only. The command line may
name a code by its constant or take a whole list from the header; a constant is resolved
through the header. Every difference is reported with the place, the call and the code.
usage: check_result_codes.py SOURCE_ROOT"""

import pathlib
import re
import sys
from dataclasses import dataclass
from typing import Dict, List, Optional

OK = 999


@dataclass
class Call:
    name: str
    results: str                # the header's list macro
    ok_meaning: Optional[str]   # the header's macro for 999; None for the stop (a byte count)
    describer: str              # the command line's function
    python_table: str           # the Python package's dict (failures only)
    readme_heading: str         # the README section holding the call's table
    readme_first_cell: str      # the first cell of the table's header row
    man_section: str            # the man page's .SS title under RESULT CODES


CALLS = [
    Call("upload", "OMBRIVOICE_UPLOAD_RESULTS", "OMBRIVOICE_UPLOAD_OK_MEANING", "DescribeUpload",
         "_UPLOAD_MEANINGS", "### `int32_t OmbriVoice(", "Code", "upload"),
    Call("download", "OMBRIVOICE_DOWNLOAD_RESULTS", "OMBRIVOICE_DOWNLOAD_OK_MEANING", "DescribeDownload",
         "_DOWNLOAD_MEANINGS", "### `int32_t OmbriVoiceFileDownload(", "Code", "download"),
    Call("recorder start", "OMBRIVOICE_RECORDER_START_RESULTS", "OMBRIVOICE_RECORDER_START_OK_MEANING",
         "DescribeRecorderStart", "_START_MEANINGS", "### `int32_t OmbriVoiceRecorderStart(", "Start result",
         "record: the recorder's start"),
    Call("recorder stop", "OMBRIVOICE_RECORDER_STOP_RESULTS", None, "DescribeRecorderStop",
         "_STOP_MEANINGS", "### `int32_t OmbriVoiceRecorderStart(", "Stop result",
         "record: the recorder's stop (else its byte count)"),
]


class Drift(Exception):
    """A table that cannot be read at all; the message names the place."""


def c_strings(text):
    """The value of adjacent C string literals, as the compiler joins them."""
    pieces = re.findall(r'"((?:[^"\\]|\\.)*)"', text)
    if not pieces:
        raise Drift(f"no string literal in {text.strip()!r}")
    return "".join(pieces).encode().decode("unicode_escape")


def macro_body(source, name, place):
    """The replacement text of #define name, its continuation lines joined."""
    found = re.search(r"^#define %s(?!\w)(.*?)(?<!\\)$" % name, source, re.M | re.S)
    if not found:
        raise Drift(f"{place}: no #define {name}")
    return found.group(1).replace("\\\n", " ")


class Header:
    def __init__(self, text):
        self.text = text
        self.lists: Dict[str, Dict[int, str]] = {}
        self.values: Dict[str, int] = {"OMBRIVOICE_OK": OK}
        self.meaning_macros: Dict[str, str] = {}
        for call in CALLS:
            self.lists[call.results] = self.read_list(call)
            if call.ok_meaning:
                self.meaning_macros[call.ok_meaning] = c_strings(macro_body(text, call.ok_meaning, "the header"))
        for name in self.values:
            if name != "OMBRIVOICE_OK" and re.search(r"^#define %s\b" % name, text, re.M):
                raise Drift(f"the header: {name} is #defined besides its list; the list alone defines it")

    def read_list(self, call):
        body = macro_body(self.text, call.results + r"\(X\)", "the header")
        entries = re.findall(r"\bX\(\s*(-?\d+)\s*,\s*(\w+)\s*,((?:\s*\"(?:[^\"\\]|\\.)*\")+)\s*\)", body)
        if not entries or len(entries) != body.count("X("):
            raise Drift(f"the header: {call.results} holds lines that are not X(code, constant, \"meaning\")")
        if not re.search(r"enum\s*\{\s*%s\(\s*\w+\s*\)\s*\}" % call.results, self.text):
            raise Drift(f"the header: no enum is made from {call.results}, so its constants are not defined")
        table = {}
        for value, name, meaning in entries:
            code = int(value)
            if code in table or name in self.values:
                raise Drift(f"the header: {call.name} lists code {code} or {name} twice")
            if (code < 0) != (call.ok_meaning is None) or code == OK:
                raise Drift(f"the header: {call.name} lists code {code}, which that call cannot return")
            table[code] = c_strings(meaning)
            self.values[name] = code
        return table

    def expected(self, call, with_ok=True):
        table = dict(self.lists[call.results])
        if call.ok_meaning and with_ok:
            table[OK] = self.meaning_macros[call.ok_meaning]
        return table


def host_table(source, call, header):
    """What the describer prints for each code: its `case X: return Described(code, M);` lines
    (X a constant or a number, M a string or an ..._OK_MEANING macro) and the header's lists it
    expands whole through a helper macro that makes such lines."""
    place = f"the command line ({call.describer})"
    found = re.search(r"std::string %s\(int32_t code\) \{(.*?)\n\}" % call.describer, source, re.S)
    if not found:
        raise Drift(f"{place}: the function is missing from host/host_support.cpp")
    body = found.group(1)
    table = {}

    def add(code, meaning, label):
        if code in table:
            raise Drift(f"{place}: code {code} ({label}) is described twice")
        table[code] = meaning

    for label, meaning in re.findall(r"case\s+\(?([-\w]+)\)?\s*:\s*return\s+Described\(\s*code\s*,\s*(.*?)\);",
                                     body, re.S):
        if re.fullmatch(r"-?\d+", label):
            code = int(label)
        elif label in header.values:
            code = header.values[label]
        else:
            raise Drift(f"{place}: `case {label}` names no constant of the header")
        meaning = meaning.strip()
        if meaning in header.meaning_macros:
            meaning = header.meaning_macros[meaning]
        elif re.fullmatch(r'(\s*"(?:[^"\\]|\\.)*")+', meaning):
            meaning = c_strings(meaning)
        else:
            raise Drift(f"{place}: the meaning of {label} is neither a string nor the header's")
        add(code, meaning, label)
    for results, helper in re.findall(r"\b(OMBRIVOICE_\w+_RESULTS)\(\s*(\w+)\s*\)", body):
        if results not in header.lists:
            raise Drift(f"{place}: expands {results}, which the header does not define")
        params = re.search(r"^#define %s\(\s*(\w+)\s*,\s*(\w+)\s*,\s*(\w+)\s*\)" % helper, source, re.M)
        made = re.sub(r"\s+", " ", macro_body(source, helper + r"\([^)]*\)", place)) if params else ""
        if not params or not re.search(r"case %s\s?: return Described\(code, %s\);" % params.group(2, 3), made):
            raise Drift(f"{place}: {helper} does not make `case constant: return Described(code, meaning);`")
        for code, meaning in header.lists[results].items():
            add(code, meaning, results)
    return table


def readme_table(readme, call):
    place = "the README"
    if call.readme_heading not in readme:
        raise Drift(f"{place}: no heading {call.readme_heading!r}")
    section = readme[readme.index(call.readme_heading):]
    end = section.find("\n#")
    section = section if end < 0 else section[:end]  # up to the next heading
    start = section.find(f"| {call.readme_first_cell} | Meaning |\n|---|---|\n")
    if start < 0:
        raise Drift(f"{place}: no table headed | {call.readme_first_cell} | Meaning |")
    rows = section[start:].split("\n\n", 1)[0].splitlines()[2:]
    table = {}
    for row in rows:
        cells = re.fullmatch(r"\| (-?\d+) \| (.*) \|", row)
        if not cells:
            raise Drift(f"{place}: a row that is not | code | meaning |: {row!r}")
        table[int(cells.group(1))] = cells.group(2)
    return table


def man_table(man, call):
    place = "the man page"
    section = man.split("\n.SH RESULT CODES\n", 1)
    if len(section) != 2:
        raise Drift(f"{place}: no RESULT CODES section")
    section = section[1].split("\n.SH ", 1)[0]
    title = f'.SS "{call.man_section}"\n'
    if title not in section:
        raise Drift(f"{place}: no subsection {title.strip()}")
    entries = section.split(title, 1)[1].split("\n.SS ", 1)[0]
    table = {}
    for code, meaning in re.findall(r"^\.TP\n\.B (\\?-?\d+)\n((?:[^.\n][^\n]*\n?)+)", entries, re.M):
        table[int(code.replace("\\-", "-"))] = " ".join(meaning.split()).replace("\\-", "-").replace("\\(aq", "'")
    return table


def python_tables(root):
    sys.dont_write_bytecode = True
    sys.path.insert(0, str(root / "python"))
    import ombrivoice  # loads no library until a call is made
    return ombrivoice


def compare(call, place, found, expected, problems):
    for code in sorted(set(found) | set(expected)):
        if code not in found:
            problems.append(f"{call.name}: {place} lacks code {code} ({expected[code]!r})")
        elif code not in expected:
            problems.append(f"{call.name}: {place} has code {code}, which the header does not list")
        elif found[code] != expected[code]:
            problems.append(f"{call.name}: {place} gives code {code} the meaning {found[code]!r}, "
                            f"the header {expected[code]!r}")


def check(root):
    """Every difference between the header and the other tables, one line each."""
    problems = []
    try:
        header = Header((root / "include/TolvexOmbriVoice.h").read_text())
    except Drift as drift:
        return [str(drift)]
    host = (root / "host/host_support.cpp").read_text()
    readme = (root / "README.md").read_text()
    man = (root / "man/ombrivoice.1").read_text()
    package = python_tables(root)
    for call in CALLS:
        places = (("the command line", lambda: host_table(host, call, header), True),
                  ("the Python package", lambda: getattr(package, call.python_table), False),
                  ("the README", lambda: readme_table(readme, call), True),
                  ("the man page", lambda: man_table(man, call), True))
        for place, read, with_ok in places:
            try:
                found = read()
            except Drift as drift:
                problems.append(f"{call.name}: {drift}")
                continue
            compare(call, place, found, header.expected(call, with_ok), problems)
    return problems


def main():
    problems = check(pathlib.Path(sys.argv[1]))
    if problems:
        sys.exit("result codes drifted from include/TolvexOmbriVoice.h:\n" + "\n".join(problems))
    print("every table gives the header's codes with the header's meanings")


if __name__ == "__main__":
    main()
