#!/usr/bin/env python3
"""Checks the links between the project's Markdown pages: every relative
link [text](path#anchor) must name a file of the tree and, with an anchor,
a heading of that page (GitHub's anchors: lower case, punctuation dropped,
spaces to hyphens). Prints each broken link; exit 1 if there is one.
Usage: doc_links.py ROOT"""

import os
import re
import sys

LINK = re.compile(r"(?<!!)\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*$")


def anchor(heading):
    text = re.sub(r"[`*_]", "", heading).strip().lower()
    return re.sub(r"\s", "-", re.sub(r"[^\w\s-]", "", text))


def pages(root):
    for folder, names, files in os.walk(root):
        names[:] = [n for n in names if not n.startswith(".") and n not in ("build", "out")]
        yield from (os.path.join(folder, f) for f in files if f.endswith(".md"))


def anchors(path):
    found, fenced = set(), False
    with open(path, encoding="utf-8") as handle:
        for line in handle:
            if line.startswith("```"):
                fenced = not fenced
            match = None if fenced else HEADING.match(line)
            if match:
                found.add(anchor(match.group(1)))
    return found


def broken(root):
    for page in sorted(pages(root)):
        with open(page, encoding="utf-8") as handle:
            text = re.sub(r"```.*?```", "", handle.read(), flags=re.S)
        for target in LINK.findall(text):
            if re.match(r"[a-z]+:", target):
                continue  # a web address
            path, _, name = target.partition("#")
            where = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            if not os.path.exists(where):
                yield "%s: %s: no such file" % (os.path.relpath(page, root), target)
            elif name and where.endswith(".md") and name not in anchors(where):
                yield "%s: %s: no such heading" % (os.path.relpath(page, root), target)


def main():
    problems = list(broken(os.path.abspath(sys.argv[1])))
    for line in problems:
        print(line)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
