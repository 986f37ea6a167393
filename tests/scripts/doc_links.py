"""Fails when README.md, CONTRIBUTING.md or a document in docs/ names a file
of the tree that does not exist: a Markdown link, or a path in backticks
that starts with one of the tree's folders. Prints each such name with the
document and line that hold it."""

import os
import re
import sys

ROOT = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
FOLDERS = (
    "platform/",
    "link/",
    "matfile/",
    "sweep/",
    "switchtemp/",
    "track/",
    "emulator/",
    "tests/",
    "bench/",
    "scripts/",
    "tools/",
    "man/",
    "cmake/",
    "docs/",
    ".ci/",
)
LINK = re.compile(r"\]\(([^)#\s]+)(?:#[^)]*)?\)")
CODE = re.compile(r"`([^`\s]+)`")


def documents():
    found = [os.path.join(ROOT, name) for name in ("README.md", "CONTRIBUTING.md")]
    docs = os.path.join(ROOT, "docs")
    if os.path.isdir(docs):
        found += [os.path.join(docs, n) for n in sorted(os.listdir(docs)) if n.endswith(".md")]
    return found


def named_paths(line):
    """The tree's paths that a line names: its links (relative to the
    document) and its backticked paths (relative to the tree's top)."""
    for target in LINK.findall(line):
        if "://" not in target and not target.startswith("mailto:"):
            yield "link", target
    for text in CODE.findall(line):
        path = text.rstrip(".,:;)")
        if path.startswith(FOLDERS) and not re.search(r"[*<>{}$]|\.\.\.|[A-Z]{3,}\b", path):
            yield "path", path.split(":")[0]


def missing():
    for doc in documents():
        if not os.path.isfile(doc):
            yield doc, 0, "(the document itself)"
            continue
        with open(doc, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                for kind, path in named_paths(line):
                    base = os.path.dirname(doc) if kind == "link" else ROOT
                    if not os.path.exists(os.path.normpath(os.path.join(base, path))):
                        yield doc, number, path


def main():
    bad = list(missing())
    for doc, number, path in bad:
        print("%s:%d: no such file: %s" % (os.path.relpath(doc, ROOT), number, path))
    checked = len(documents())
    print("doc_links: %d documents, %d names of missing files" % (checked, len(bad)))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
