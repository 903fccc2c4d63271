#!/usr/bin/env python3
"""Every manual page source against the --help of the programs it describes.

The argument is a file of lines "program<TAB>page source". A page must have the sections every
page has, name the program in NAME, and describe in OPTIONS exactly the options --help lists. The
two options every page describes are held to what they promise: --version prints the name and
version, and an option the program does not know is refused with a message.
"""
import re
import subprocess
import sys

SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "EXAMPLES", "SEE ALSO"]
OPTION = re.compile(r"(?<![\w-])--[a-z][a-z0-9-]*")


def sections(source):
    """The page's sections by title, each as its text."""
    found, title = {}, None
    with open(source, encoding="utf-8") as page:
        for line in page:
            if line.startswith("# "):
                title = line[2:].strip()
                found[title] = ""
            elif title is not None:
                found[title] += line
    return found


def run(program, *args):
    return subprocess.run([program, *args], capture_output=True, text=True, timeout=20,
                          check=False, stdin=subprocess.DEVNULL)


def help_text(program):
    done = run(program, "--help")
    if done.returncode != 0:
        return None, f"{program} --help exited with {done.returncode}: {done.stderr.strip()}"
    return done.stdout, None


def command_line(program, name):
    """--version and an unknown option, as every page describes them."""
    problems = []
    version = run(program, "--version")
    if version.returncode != 0 or not re.fullmatch(rf"{re.escape(name)} \d+\.\d+\.\d+\n",
                                                    version.stdout):
        problems.append(f"`{name} --version` printed {version.stdout!r} ({version.returncode})")
    unknown = run(program, "--no-such-option")
    if unknown.returncode == 0 or "--no-such-option" not in unknown.stderr:
        problems.append(f"`{name} --no-such-option` was not refused with a message "
                        f"({unknown.returncode}, {unknown.stderr!r})")
    return problems


def check(program, source):
    name = program.rsplit("/", 1)[-1]
    page = sections(source)
    problems = [f"{source}: no {title} section" for title in SECTIONS if title not in page]
    if not re.search(rf"(?<![\w-]){re.escape(name)}(?![\w-])", page.get("NAME", "")):
        problems.append(f"{source}: NAME does not name {name}")
    problems += command_line(program, name)
    text, error = help_text(program)
    if error:
        return problems + [error]
    in_help = set(OPTION.findall(text))
    in_page = set(OPTION.findall(page.get("OPTIONS", "")))
    problems += [f"{source}: OPTIONS lacks {option}, which `{name} --help` lists"
                 for option in sorted(in_help - in_page)]
    problems += [f"`{name} --help` lacks {option}, which OPTIONS of {source} describes"
                 for option in sorted(in_page - in_help)]
    return problems


def main():
    problems, checked = [], 0
    with open(sys.argv[1], encoding="utf-8") as pairs:
        for line in pairs:
            if line.strip():
                program, source = line.rstrip("\n").split("\t")
                problems += check(program, source)
                checked += 1
    for problem in problems:
        print(problem)
    print(f"{checked} programs checked against their pages, {len(problems)} problems")
    return 1 if problems or checked == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
