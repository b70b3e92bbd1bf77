#!/usr/bin/env python3
"""Checks that every relative reference between the Markdown documents below a folder resolves.

    scripts/check-doc-links.py [ROOT]       # default: the source tree
    scripts/check-doc-links.py /usr/share/doc/velantis-server

ROOT is the source tree or the folder the documentation is installed to; both keep the documents
at the same relative paths. Two kinds of reference are checked in every `*.md` file below ROOT:

- Markdown links `[text](target)`, `[text](target#anchor)` and reference definitions
  `[name]: target`, relative to the file's own folder (the way a viewer follows them); an anchor
  within a document must name one of its headings;
- a path to another document written in backticks, such as `docs/traffic.md`, which the documents
  use to mean a path from the top of the tree (or, failing that, from the file's folder).

Links with a scheme (https:, file:, mailto:) and absolute paths name things outside the tree and
are not checked; neither is anything inside fenced or indented code blocks. Exit code 1 lists
every reference that does not resolve.
"""

import os
import re
import sys

LINK = re.compile(r"\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
DEFINITION = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+\S.*)?$")
MENTION = re.compile(r"`([A-Za-z0-9_.\-/]+\.md)`")
INLINE_CODE = re.compile(r"`[^`]*`")


def anchors_of(path):
    """The anchors a viewer makes of a document's headings: lower case, punctuation dropped,
    spaces turned into hyphens."""
    found = set()
    for line in prose_lines(path):
        heading = re.match(r"^#{1,6}\s+(.*?)\s*#*\s*$", line)
        if heading:
            text = re.sub(r"[^\w\- ]", "", heading.group(1).replace("`", "").lower())
            found.add(text.replace(" ", "-"))
    return found


def prose_lines(path):
    """The lines of a document outside code blocks."""
    fenced = False
    previous_blank = True
    with open(path, encoding="utf-8") as document:
        for line in document.read().splitlines():
            if re.match(r"^\s*(```|~~~)", line):
                fenced = not fenced
                continue
            indented = line.startswith("    ") and previous_blank
            previous_blank = (line.strip() == "") or (indented and previous_blank)
            if fenced or indented:
                continue
            yield line


def is_external(target):
    return re.match(r"^[A-Za-z][A-Za-z0-9+.\-]*:", target) or target.startswith("/")


def check(root):
    problems = []
    documents = []
    for folder, subfolders, files in os.walk(root):
        subfolders[:] = sorted(d for d in subfolders if not d.startswith(".") and d != "build")
        documents += [os.path.join(folder, name) for name in sorted(files) if name.endswith(".md")]
    for path in documents:
        shown = os.path.relpath(path, root)
        here = os.path.dirname(path)
        for number, line in enumerate(prose_lines(path), 1):
            targets = LINK.findall(INLINE_CODE.sub("``", line))
            definition = DEFINITION.match(line)
            if definition:
                targets.append(definition.group(1))
            for target in targets:
                if is_external(target):
                    continue
                file_part, _, anchor = target.partition("#")
                resolved = os.path.normpath(os.path.join(here, file_part)) if file_part else path
                if not os.path.exists(resolved):
                    missing = os.path.relpath(resolved, root)
                    problems.append(f"{shown}: link to {target}: no {missing}")
                elif anchor and resolved.endswith(".md") and anchor not in anchors_of(resolved):
                    problems.append(f"{shown}: link to {target}: no heading makes #{anchor}")
            for mention in MENTION.findall(line):
                if is_external(mention):
                    continue
                if not any(os.path.exists(os.path.join(base, mention)) for base in (root, here)):
                    problems.append(f"{shown}: mentions `{mention}`, which is not in {root}")
    return documents, problems


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    if len(sys.argv) > 2 or not os.path.isdir(root):
        sys.exit(f"usage: {sys.argv[0]} [ROOT]   (ROOT: a folder of Markdown documents)")
    documents, problems = check(root)
    for problem in problems:
        print("check-doc-links: " + problem)
    if not documents:
        sys.exit(f"check-doc-links: no Markdown documents below {root}")
    if problems:
        sys.exit(1)
    print(f"check-doc-links: every reference in {len(documents)} documents below {root} resolves")


if __name__ == "__main__":
    main()
