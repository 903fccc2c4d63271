#!/usr/bin/env python3
"""Every call the library's header declares has an entry in its manual page, and no entry
describes a call the header lacks. Arguments: the header, the page source."""
import re
import sys

DECLARED = re.compile(r"^[a-z].*?\b(irs_[a-z_]+)\(", re.MULTILINE)
ENTRY = re.compile(r"^\*[^\n]*?\b(irs_[a-z_]+)\(", re.MULTILINE)


def main():
    with open(sys.argv[1], encoding="utf-8") as header:
        declared = set(DECLARED.findall(header.read()))
    with open(sys.argv[2], encoding="utf-8") as page:
        described = set(ENTRY.findall(page.read()))
    problems = [f"{sys.argv[2]}: no entry for {name}" for name in sorted(declared - described)]
    problems += [f"{sys.argv[2]}: an entry for {name}, which the header does not declare"
                 for name in sorted(described - declared)]
    if not declared:
        problems.append(f"{sys.argv[1]}: no calls found")
    for problem in problems:
        print(problem)
    print(f"{len(declared)} calls checked")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
