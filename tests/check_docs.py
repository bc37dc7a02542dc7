"""README.md and docs/: the README stays the page a newcomer reads.

- README.md has at most 300 lines;
- every page in docs/ can be reached from README.md by following links;
- no relative link in README.md or docs/*.md is broken: its file exists, and
  an anchor into a Markdown page names one of that page's headings.

Usage: check_docs.py SOURCE-FOLDER
Exit codes: 0 passed, 1 failed.
"""

import os
import re
import sys

MAX_README_LINES = 300
# [text](target), not an image's; the target ends at a blank or the parenthesis.
LINK = re.compile(r"(?<!!)\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^(```|~~~)")


def prose(text):
    """The text outside fenced code blocks, where links are links."""
    out, fenced = [], False
    for line in text.split("\n"):
        if FENCE.match(line.strip()):
            fenced = not fenced
            continue
        if not fenced:
            out.append(line)
    return "\n".join(out)


def anchor(heading):
    """The anchor GitHub gives a heading: lower case, punctuation dropped, blanks as hyphens."""
    text = re.sub(r"[`*_]", "", heading.strip().lower())
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def anchors(path):
    with open(path, encoding="utf-8") as f:
        text = prose(f.read())
    return {anchor(line.lstrip("#")) for line in text.split("\n") if re.match(r"#{1,6} ", line)}


def links(path):
    with open(path, encoding="utf-8") as f:
        return LINK.findall(prose(f.read()))


def check(source):
    problems = []
    readme = os.path.join(source, "README.md")
    with open(readme, encoding="utf-8") as f:
        count = len(f.read().splitlines())
    if count > MAX_README_LINES:
        problems.append(f"README.md has {count} lines, more than {MAX_README_LINES}")

    docs = os.path.join(source, "docs")
    pages = sorted(os.path.join(docs, n) for n in os.listdir(docs) if n.endswith(".md")) \
        if os.path.isdir(docs) else []
    reached, queue = {os.path.realpath(readme)}, [readme]
    for page in [readme] + pages:
        for target in links(page):
            if re.match(r"[a-z][a-z0-9+.-]*:", target, re.I):
                continue  # https:, mailto: and the like
            file_part, _, fragment = target.partition("#")
            resolved = os.path.normpath(os.path.join(os.path.dirname(page), file_part)) if file_part else page
            shown = os.path.relpath(page, source)
            if not os.path.exists(resolved):
                problems.append(f"{shown}: broken link {target}")
                continue
            if fragment and resolved.endswith(".md") and fragment not in anchors(resolved):
                problems.append(f"{shown}: {target} names no heading of {os.path.relpath(resolved, source)}")
    while queue:
        page = queue.pop()
        for target in links(page):
            file_part = target.partition("#")[0]
            if not file_part or re.match(r"[a-z][a-z0-9+.-]*:", target, re.I):
                continue
            resolved = os.path.realpath(os.path.join(os.path.dirname(page), file_part))
            if resolved.endswith(".md") and os.path.isfile(resolved) and resolved not in reached:
                reached.add(resolved)
                queue.append(resolved)
    for page in pages:
        if os.path.realpath(page) not in reached:
            problems.append(f"{os.path.relpath(page, source)} cannot be reached from README.md")
    return problems


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    problems = check(os.path.abspath(sys.argv[1]))
    for problem in problems:
        print("FAIL", problem)
    print("FAILED" if problems else "passed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
