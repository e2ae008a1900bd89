#!/usr/bin/env python3
"""Keeps a manual page and the program's --help in step.

For kestrel(1): the sub-commands of `kestrel --help` are the page's
"kestrel NAME" sub-sections; the options of `kestrel --help` are the options
described under OPTIONS; the options of `kestrel NAME --help` are those
described in that sub-section (-h and --help, which every command takes, are
described once under OPTIONS); each positional argument of a sub-command is
named in its sub-section. For kestrel-gui(1): the options of --help are those
described under OPTIONS. In both pages every long option mentioned anywhere
must be one the program has.

An option is "described" when it opens a .TP paragraph (the line after .TP).

Usage: check_man_options.py PROGRAM PAGE [--gui]
"""
import os
import re
import subprocess
import sys

# Option names at the start of a help line: "  -h,--help", "  --sort TEXT:{name}",
# "  -h, --help", "  --backup-root <DIR>". Continuation lines are indented deeper.
HELP_OPTION_LINE = re.compile(r"^  (-{1,2}[^\s,]+(?:,\s*-{1,2}[^\s,]+)*)")
NAME = re.compile(r"(?<![\w-])(-{1,2}[A-Za-z?][A-Za-z0-9-]*)")


def run_help(program, *args):
    # --help and --version of the desktop program need no display.
    result = subprocess.run([program, *args], capture_output=True, text=True, timeout=60,
                            env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
    if result.returncode != 0:
        sys.exit(f"FAIL: {program} {' '.join(args)} exited with status {result.returncode}: {result.stderr}")
    return result.stdout


def help_sections(text):
    """Splits a help text into {heading: [lines]} at lines such as "Options:"."""
    sections, current = {}, None
    for line in text.splitlines():
        heading = re.match(r"^([A-Z][A-Za-z ]*):\s*$", line)
        if heading:
            current = heading.group(1).lower()
            sections[current] = []
        elif current is not None:
            sections[current].append(line)
    return sections


def help_options(text):
    names = set()
    for line in text.splitlines():
        match = HELP_OPTION_LINE.match(line)
        if match:
            names.update(n.strip() for n in match.group(1).split(","))
    return names


def help_entries(text, heading):
    """First words of the two-space indented entries of a section."""
    entries = []
    for line in help_sections(text).get(heading, []):
        match = re.match(r"^  (\S+)", line)
        if match and not match.group(1).startswith("-"):
            entries.append(match.group(1))
    return entries


def plain(troff_line):
    """A troff line without its macro, font changes, quotes and escapes."""
    line = re.sub(r"^\.[A-Z]{1,2}\s+", "", troff_line)
    line = re.sub(r"\\f[BIRP]", "", line)
    return line.replace("\\-", "-").replace("\\&", "").replace('"', "")


def page_structure(path):
    """{section: {"options": set, "text": str}}; sections are "OPTIONS" and, for
    each .SS "kestrel NAME" under COMMANDS, the sub-command NAME."""
    with open(path, encoding="utf-8") as f:
        lines = [l.rstrip("\n") for l in f if not l.startswith('.\\"')]
    sections, current, after_tp = {}, None, False
    for line in lines:
        if line.startswith(".SH"):
            title = line[3:].strip().strip('"')
            current = "OPTIONS" if title == "OPTIONS" else None
            if current:
                sections.setdefault(current, {"options": set(), "text": ""})
            after_tp = False
            continue
        if line.startswith(".SS"):
            words = line[3:].strip().strip('"').split()
            current = words[-1] if words else None
            sections.setdefault(current, {"options": set(), "text": ""})
            after_tp = False
            continue
        if current is None:
            continue
        text = plain(line)
        sections[current]["text"] += text + "\n"
        if after_tp and text.startswith("-"):
            sections[current]["options"].update(NAME.findall(text))
        after_tp = line.startswith(".TP")
    return sections, "\n".join(lines)


def compare(what, from_help, from_page, failures):
    missing = sorted(from_help - from_page)
    extra = sorted(from_page - from_help)
    if missing:
        failures.append(f"{what}: --help has {', '.join(missing)}, the manual page does not describe it")
    if extra:
        failures.append(f"{what}: the manual page describes {', '.join(extra)}, --help has no such option")


def mentioned_long_options(page_text):
    return set(re.findall(r"(?<![\w\\-])(--[A-Za-z][A-Za-z0-9-]*)", page_text.replace("\\-", "-")))


def check_kestrel(program, page, failures):
    sections, whole = page_structure(page)
    main_help = run_help(program, "--help")
    commands = help_entries(main_help, "subcommands")
    if not commands:
        failures.append("kestrel --help lists no sub-command")
    page_commands = sorted(k for k in sections if k != "OPTIONS")
    if sorted(commands) != page_commands:
        failures.append(f"sub-commands: --help has {sorted(commands)}, the manual page {page_commands}")
    global_options = help_options(main_help)
    compare("kestrel", global_options, sections.get("OPTIONS", {"options": set()})["options"], failures)
    every = set(global_options)
    for command in commands:
        text = run_help(program, command, "--help")
        options = help_options(text)
        every |= options
        section = sections.get(command)
        if section is None:
            continue  # reported above
        # -h and --help are described once, under OPTIONS.
        compare(f"kestrel {command}", options - {"-h", "--help"}, section["options"], failures)
        for positional in help_entries(text, "positionals"):
            if not re.search(rf"\b{re.escape(positional)}\b", section["text"]):
                failures.append(f"kestrel {command}: the manual page does not name its argument {positional}")
    for option in sorted(mentioned_long_options(whole) - every):
        failures.append(f"the manual page mentions {option}, which no kestrel command has")


def check_gui(program, page, failures):
    sections, whole = page_structure(page)
    options = help_options(run_help(program, "--help"))
    compare("kestrel-gui", options, sections.get("OPTIONS", {"options": set()})["options"], failures)
    every = options | help_options(run_help(program, "--help-all"))
    for option in sorted(mentioned_long_options(whole) - every):
        failures.append(f"the manual page mentions {option}, which kestrel-gui does not have")


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    program, page = sys.argv[1], sys.argv[2]
    failures = []
    if len(sys.argv) == 4 and sys.argv[3] == "--gui":
        check_gui(program, page, failures)
    else:
        check_kestrel(program, page, failures)
    for failure in failures:
        print("FAIL:", failure)
    if failures:
        sys.exit(1)
    print(f"{page}: options agree with {program} --help")


if __name__ == "__main__":
    main()
