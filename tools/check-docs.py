#!/usr/bin/env python3
"""Checks that the README, SECURITY.md and docs/ point only at things that exist.

Every relative link must name an existing file, and a link to a heading (#anchor) a heading
that the target has, by the anchors that Markdown renderers make of headings. Every script that
the text names (tools/..., and any other path ending in .sh or .py), in prose or in a command,
must exist. Prints each broken one with its file and line and fails; quiet otherwise.

    tools/check-docs.py
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
SCRIPT = re.compile(r"(?<![\w./-])((?:tools/[\w.-]+)|(?:[\w-]+/)+[\w-]+\.(?:sh|py))(?![\w/-])")
FENCE = re.compile(r"^\s*```")


def documents():
    return [ROOT / "README.md", ROOT / "SECURITY.md"] + sorted((ROOT / "docs").glob("*.md"))


def prose_lines(path):
    """(line number, text, inside a code block) for each line of a Markdown file."""
    inside = False
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if FENCE.match(line):
            inside = not inside
            continue
        yield number, line, inside


def anchors(path):
    """The anchors of a file's headings: lower case, punctuation dropped, blanks as hyphens."""
    seen = {}
    result = set()
    for _, line, inside in prose_lines(path):
        heading = re.match(r"^#{1,6}\s+(.*?)\s*$", line)
        if inside or not heading:
            continue
        anchor = re.sub(r"[^\w\- ]", "", heading.group(1).lower()).replace(" ", "-")
        count = seen.get(anchor, 0)
        seen[anchor] = count + 1
        result.add(anchor if count == 0 else f"{anchor}-{count}")
    return result


def link_problem(document, target):
    if re.match(r"^[a-z][a-z0-9+.-]*:", target):
        return None  # a URL or mail address, not checked here
    path_part, _, anchor = target.partition("#")
    path = (document.parent / path_part).resolve() if path_part else document
    if not path.exists():
        return f"link {target}: no such file"
    if anchor and path.suffix == ".md" and anchor not in anchors(path):
        return f"link {target}: no such heading in {path.relative_to(ROOT)}"
    return None


def main():
    problems = []
    for document in documents():
        name = document.relative_to(ROOT)
        for number, line, inside in prose_lines(document):
            targets = [] if inside else LINK.findall(line)
            for problem in filter(None, (link_problem(document, t) for t in targets)):
                problems.append(f"{name}:{number}: {problem}")
            for script in SCRIPT.findall(line):
                script = script.rstrip(".")
                if not (ROOT / script).exists():
                    problems.append(f"{name}:{number}: {script}: no such file")
    for problem in problems:
        print(f"check-docs: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
