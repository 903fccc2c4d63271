#!/usr/bin/env python3
"""The library's guide against its header: every C snippet compiles as strict C99 with the
header, every call the header declares is in the guide, and a number the guide gives beside a
limit's name ("4 channels (`IRS_CHANNELS_MAX`)", "`IRS_CHANNELS_MAX` (4)") is the header's.
Arguments: the header, the guide, the C compiler."""
import os
import re
import subprocess
import sys
import tempfile

DECLARED = re.compile(r"^[a-z].*?\b(irs_[a-z_]+)\(", re.MULTILINE)
SNIPPET = re.compile(r"^```c\n(.*?)^```", re.MULTILINE | re.DOTALL)
DEFINED = re.compile(r"^#define (IRS_[A-Z_]+) (\d+)\b", re.MULTILINE)
# A number and the limit's name alone in parentheses within a few words after it, or the name
# with the number in parentheses (or after a comma) right after it.
NUMBER_THEN_NAME = re.compile(r"\b(\d+)\b[^.;:()`]{0,60}\(`(IRS_[A-Z_]+)`\)")
NAME_THEN_NUMBER = re.compile(r"`(IRS_[A-Z_]+)`(?: \(|, )(\d+)\)")
PREAMBLE = "#include <poll.h>\n#include <stdio.h>\n#include <string.h>\n\n#include <irstack.h>\n"


def main():
    header, guide, compiler = sys.argv[1:4]
    with open(header, encoding="utf-8") as source:
        declared = set(DECLARED.findall(source.read()))
    with open(guide, encoding="utf-8") as source:
        text = source.read()
    problems = [f"{guide}: {name} is not described" for name in sorted(declared)
                if f"`{name}" not in text]
    with open(header, encoding="utf-8") as source:
        limits = dict(DEFINED.findall(source.read()))
    stated = [(n, name) for n, name in NUMBER_THEN_NAME.findall(text)]
    stated += [(n, name) for name, n in NAME_THEN_NUMBER.findall(text)]
    problems += [f"{guide}: says {number} for {name}, the header {limits[name]}"
                 for number, name in stated if name in limits and limits[name] != number]
    if not stated:
        problems.append(f"{guide}: no limit given by its name")
    snippets = SNIPPET.findall(text)
    if not snippets:
        problems.append(f"{guide}: no C snippets")
    with tempfile.TemporaryDirectory() as work:
        unit = os.path.join(work, "guide.c")
        with open(unit, "w", encoding="utf-8") as out:
            out.write(PREAMBLE + "\n".join(snippets))
        # The snippets are functions nothing calls.
        run = subprocess.run([compiler, "-std=c99", "-D_POSIX_C_SOURCE=200809L", "-Wall",
                              "-Wextra", "-Werror", "-Wno-unused-function", "-fsyntax-only",
                              "-I", os.path.dirname(header), unit],
                             capture_output=True, text=True, check=False)
        if run.returncode != 0:
            problems.append(f"{guide}: the snippets do not compile:\n{run.stderr}")
    for problem in problems:
        print(problem)
    print(f"{len(snippets)} snippets compiled, {len(declared)} calls looked for, "
          f"{len(stated)} limits compared")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
