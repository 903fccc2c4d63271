#!/usr/bin/env python3
"""The library's guide against its header: every C snippet compiles as strict C99 with the
header, and every call the header declares is in the guide. Arguments: the header, the guide,
the C compiler."""
import os
import re
import subprocess
import sys
import tempfile

DECLARED = re.compile(r"^[a-z].*?\b(irs_[a-z_]+)\(", re.MULTILINE)
SNIPPET = re.compile(r"^```c\n(.*?)^```", re.MULTILINE | re.DOTALL)
PREAMBLE = "#include <poll.h>\n#include <stdio.h>\n#include <string.h>\n\n#include <irstack.h>\n"


def main():
    header, guide, compiler = sys.argv[1:4]
    with open(header, encoding="utf-8") as source:
        declared = set(DECLARED.findall(source.read()))
    with open(guide, encoding="utf-8") as source:
        text = source.read()
    problems = [f"{guide}: {name} is not described" for name in sorted(declared)
                if f"`{name}" not in text]
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
    print(f"{len(snippets)} snippets compiled, {len(declared)} calls looked for")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
