#!/usr/bin/python3
"""Renders each Markdown file as a CommonMark reader does (markdown-it) and fails where it would not read as
written: a fenced block that is never closed (it runs to the end of the file, or on to the next block, whose
opening line such as "```sh" it swallows: from there on text and code swap places), or a section heading
("## ...") that does not render as one.
Usage: markdown_check.py FILE..."""
import re
import sys

from markdown_it import MarkdownIt


def check(path):
    text = open(path, encoding="utf-8").read()
    lines = text.split("\n")
    faults = []
    headings = set()
    for t in MarkdownIt("commonmark").enable("table").parse(text):
        if t.type == "heading_open":
            headings.add(t.map[0])
        if t.type != "fence":
            continue
        start, end = t.map
        block = f"{path}:{start + 1}: the {t.markup}{t.info} block"
        closer = lines[end - 1].strip() if end - 1 > start else ""
        if not closer.startswith(t.markup) or set(closer) != {t.markup[0]}:
            faults.append(f"{block} is never closed")
        for i in range(start + 1, end - 1):
            if re.match(r"^ {0,3}(```+|~~~+)\s*[A-Za-z]", lines[i]):
                faults.append(f"{block} is not closed before the block that opens at line {i + 1}")
                break
    for i, line in enumerate(lines):
        if line.startswith("## ") and i not in headings:
            faults.append(f"{path}:{i + 1}: '{line}' does not render as a heading")
    return faults


faults = [f for path in sys.argv[1:] for f in check(path)]
for f in faults:
    print(f, file=sys.stderr)
sys.exit(1 if faults else 0)
