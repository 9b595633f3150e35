#!/usr/bin/python3
"""The public header's #defines, each with its comment, are the one table of result codes. The
command line's meanings (host/host_support.cpp), the Python package's and the README's C API
tables must name exactly the codes it defines for each call (the recorder's stop included), so
that a code cannot be added in one place only.
usage: check_result_codes.py SOURCE_ROOT"""

import pathlib
import re
import sys

CALLS = {  # call: (the header's prefix, the command line's describer, the Python table, README heading)
    "upload": ("UPLOAD", "DescribeUpload", "_UPLOAD_MEANINGS", "### `int32_t OmbriVoice("),
    "download": ("DOWNLOAD", "DescribeDownload", "_DOWNLOAD_MEANINGS", "### `int32_t OmbriVoiceFileDownload("),
    "recorder start": ("RECORDER", "DescribeRecorderStart", "_START_MEANINGS", "### `int32_t OmbriVoiceRecorderStart("),
    "recorder stop": ("RECORDER", "DescribeRecorderStop", "_STOP_MEANINGS", "### `int32_t OmbriVoiceRecorderStart("),
}
OK = 999


def wanted(call, code):
    """The recorder's start and stop share a prefix and a README section: the stop's codes are
    the negative ones, which stand in for its byte count, and have no 999."""
    if call == "recorder stop":
        return code < 0
    return code >= 0


def header_codes(header, prefix, call):
    codes = set()
    for name, value, comment in re.findall(
            r"#define OMBRIVOICE_%s_(\w+) +\(?(-?\d+)\)?( +/\*.*)?" % prefix, header):
        if not comment:
            sys.exit(f"OMBRIVOICE_{prefix}_{name} has no comment saying what it means")
        if wanted(call, int(value)):
            codes.add(int(value))
    return codes | ({OK} if wanted(call, OK) else set())


def host_codes(source, describer):
    body = re.search(r"std::string %s\(int32_t code\) \{(.*?)\n\}" % describer, source, re.S).group(1)
    return {OK if case == "OMBRIVOICE_OK" else int(case) for case in re.findall(r"case (-?\w+):", body)}


def python_codes(root, table, call):
    sys.dont_write_bytecode = True
    sys.path.insert(0, str(root / "python"))
    import ombrivoice  # loads no library until a call is made
    return set(getattr(ombrivoice, table)) | ({OK} if wanted(call, OK) else set())


def readme_codes(readme, heading, call):
    section = readme[readme.index(heading):]
    section = section[:section.find("\n#", 1)]  # up to the next heading
    return {int(code) for code in re.findall(r"^\| (-?\d+) \|", section, re.M) if wanted(call, int(code))}


def main():
    root = pathlib.Path(sys.argv[1])
    header = (root / "include/TolvexOmbriVoice.h").read_text()
    host = (root / "host/host_support.cpp").read_text()
    readme = (root / "README.md").read_text()
    problems = []
    for call, (prefix, describer, table, heading) in CALLS.items():
        expected = header_codes(header, prefix, call)
        for place, codes in (("the command line", host_codes(host, describer)),
                             ("the Python package", python_codes(root, table, call)),
                             ("the README", readme_codes(readme, heading, call))):
            if codes != expected:
                problems.append(f"{call}: {place} names {sorted(codes)}, the header {sorted(expected)}")
    if problems:
        sys.exit("\n".join(problems))
    print("every table names the header's codes")


if __name__ == "__main__":
    main()
