#!/usr/bin/env python3
"""check_links.py - every relative link and anchor in the project's Markdown resolves.

    check_links.py SOURCE_DIR     checks README.md, CHANGELOG.md and docs/*.md under SOURCE_DIR

A link is [text](target) or ![alt](target). Links with a scheme (https:, mailto:) are left alone;
any other target must name a file or folder relative to the page that links it, and its #anchor,
if any, a heading of the Markdown page it names (or of the same page, for a bare #anchor), spelled
as GitHub spells a heading's anchor. Before checking, it checks itself on pages with known faults,
so that a checker that finds nothing fails too. Exit status 1 and a line per broken link, file and
line number first, if any is broken.
"""
import os
import re
import sys
import tempfile

LINK = re.compile(r"!?\[((?:[^\[\]]|\[[^\]]*\])*)\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
CODE_SPAN = re.compile(r"(`+)(?:(?!\1).)+?\1")
FENCE = re.compile(r"^\s*(```|~~~)")
HEADING = re.compile(r"^ {0,3}(#{1,6})\s+(.*?)\s*#*\s*$")


def lines_outside_fences(text):
    """(line number, line) for each line outside fenced code blocks."""
    fenced = False
    for number, line in enumerate(text.split("\n"), 1):
        if FENCE.match(line):
            fenced = not fenced
            continue
        if not fenced:
            yield number, line


def slug(heading):
    """A heading's anchor as GitHub makes it: its text (links as their text, code as its words),
    lower case, punctuation dropped, each space a hyphen."""
    text = LINK.sub(lambda m: m.group(1), heading)
    text = re.sub(r"[*`]", "", text)
    text = text.lower()
    text = "".join(c for c in text if c.isalnum() or c in " -_")
    return text.replace(" ", "-")


def anchors(path, cache={}):
    if path not in cache:
        seen = {}
        found = set()
        with open(path, encoding="utf-8") as f:
            for _, line in lines_outside_fences(f.read()):
                m = HEADING.match(line)
                if not m:
                    continue
                base = slug(m.group(2))
                n = seen.get(base, 0)
                seen[base] = n + 1
                found.add(base if n == 0 else f"{base}-{n}")
        cache[path] = found
    return cache[path]


def check(page, root):
    """The broken links of one page, as 'file:line: why' strings."""
    broken = []
    with open(page, encoding="utf-8") as f:
        text = f.read()
    where = os.path.relpath(page, root)
    for number, line in lines_outside_fences(text):
        for m in LINK.finditer(CODE_SPAN.sub("", line)):
            target = m.group(2)
            if not target or re.match(r"^[a-zA-Z][a-zA-Z0-9+.-]*:", target):
                continue
            path, _, anchor = target.partition("#")
            linked = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
            if not os.path.exists(linked):
                broken.append(f"{where}:{number}: {target}: no such file")
            elif anchor and linked.endswith(".md") and anchor not in anchors(linked):
                broken.append(f"{where}:{number}: {target}: no heading with the anchor #{anchor}")
            elif anchor and not linked.endswith(".md"):
                broken.append(f"{where}:{number}: {target}: an anchor into a page that is not Markdown")
    return broken


def pages(root):
    found = [os.path.join(root, name) for name in ("README.md", "CHANGELOG.md")]
    docs = os.path.join(root, "docs")
    if os.path.isdir(docs):
        found += sorted(os.path.join(docs, name) for name in os.listdir(docs) if name.endswith(".md"))
    return [page for page in found if os.path.exists(page)]


def self_test():
    """The checker finds each kind of fault and passes what is right."""
    with tempfile.TemporaryDirectory() as root:
        os.mkdir(os.path.join(root, "docs"))
        with open(os.path.join(root, "docs", "guide.md"), "w") as f:
            f.write("# The guide\n\n## Running `chat_server`: the log\n\n## Again\n\n## Again\n\n"
                    "```\n## Not a heading\n```\n")
        with open(os.path.join(root, "README.md"), "w") as f:
            f.write("# Top\n\n"
                    "[ok](docs/guide.md#running-chat_server-the-log) [ok](docs/guide.md#again-1) [ok](#top)\n"
                    "[ok](https://example.invalid/x#y) `[code](not/checked.md)` [ok](docs/)\n"
                    "[bad](docs/missing.md)\n"
                    "![bad](docs/missing.png)\n"
                    "[bad](docs/guide.md#not-a-heading)\n"
                    "[bad](#nowhere)\n"
                    "[bad](docs/guide.md#again-2)\n")
        got = [line.split(": ")[0] for line in check(os.path.join(root, "README.md"), root)]
        expected = [f"README.md:{n}" for n in range(5, 10)]
        if got != expected:
            sys.exit(f"check_links.py: self-test: broken links reported at {got}, expected at {expected}")


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: check_links.py SOURCE_DIR")
    self_test()
    root = os.path.abspath(sys.argv[1])
    checked = pages(root)
    broken = [line for page in checked for line in check(page, root)]
    for line in broken:
        print(line)
    if broken:
        sys.exit(1)
    print(f"{len(checked)} pages, every relative link and anchor resolves")


if __name__ == "__main__":
    main()
