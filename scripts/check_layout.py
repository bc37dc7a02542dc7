#!/usr/bin/env python3
"""Checks the shape of the product sources under src/.

- No file over MAX_FILE_LINES lines and no function over MAX_FUNCTION_LINES,
  unless a comment in the file (for a file) or in the few lines above the
  function says why it must stay whole: "must stay whole" in its text.
- No circle of includes between parts (a header and its source are one
  part), and no circle of calls between the source files one class is
  spread over (A defines a member that B calls, and B one that A calls).

Files may be let off by --allow PATH (relative to the repository; a path
without its suffix lets off the header and the source), for files someone
is reshaping right now: their sizes are not checked, nor circles through
them. Prints each breach and exits 1, or
prints nothing and exits 0.
"""
import argparse
import pathlib
import re
import sys

MAX_FILE_LINES = 450
MAX_FUNCTION_LINES = 60
WHOLE = "must stay whole"
SOURCES = (".cpp", ".h")
CONTROL = re.compile(r"\b(if|for|while|switch|catch|do|else|try)\b")
NOT_FUNCTION = re.compile(r"\b(namespace|class|struct|enum|union)\b|=\s*$|\]\s*(\(.*\))?\s*(mutable\s*)?(->.*)?$")


def strip(text):
    """Comments, strings and character literals blanked, lines kept."""
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|"(\\.|[^"\\\n])*"|\'(\\.|[^\'\\\n])*\'', re.S)
    return pattern.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)


def functions(text):
    """(first line, line count) of each function body outside other functions."""
    code = strip(text)
    found = []
    depth = 0
    inside = None  # (depth at its opening brace, its first line)
    head = ""  # the code since the last ; { or } outside functions
    line = 1
    for ch in code:
        if ch == "\n":
            line += 1
        if inside is None and ch not in "{};":
            head += ch
            continue
        if ch == "{":
            if inside is None:
                flat = " ".join(head.split())
                flat = re.sub(r"operator\s*\S+?\s*\(", "operator(", flat)
                if ")" in flat and not CONTROL.match(flat) and not NOT_FUNCTION.search(flat):
                    inside = (depth, line - head.count("\n"))
                head = ""
            depth += 1
        elif ch == "}":
            depth -= 1
            if inside is not None and depth == inside[0]:
                found.append((inside[1], line - inside[1] + 1))
                inside = None
            head = ""
        elif ch == ";" and inside is None:
            head = ""
    return found


def let_off(name, allowed):
    """Whether `name` (a path from the repository's root) is allowed."""
    return name in allowed or str(pathlib.PurePosixPath(name).with_suffix("")) in allowed


def sizes(root, path, text, allowed):
    breaches = []
    lines = text.split("\n")
    name = path.relative_to(root).as_posix()
    if let_off(name, allowed):
        return breaches
    count = len(text.splitlines())
    if count > MAX_FILE_LINES and WHOLE not in text:
        breaches.append(f"{name}: {count} lines (over {MAX_FILE_LINES})")
    for first, count in functions(text):
        above = "\n".join(lines[max(0, first - 8):first])
        if count > MAX_FUNCTION_LINES and WHOLE not in above:
            breaches.append(f"{name}:{first}: a function of {count} lines (over {MAX_FUNCTION_LINES})")
    return breaches


def find_circle(graph):
    """One circle of the graph as a list of nodes, or None."""
    state = {}
    trail = []

    def visit(node):
        state[node] = "open"
        trail.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == "open":
                return trail[trail.index(nxt):] + [nxt]
            if nxt not in state:
                circle = visit(nxt)
                if circle:
                    return circle
        trail.pop()
        state[node] = "done"
        return None

    for node in sorted(graph):
        if node not in state:
            circle = visit(node)
            if circle:
                return circle
    return None


def circles(graph):
    """Circles of the graph, each found once: the edge closing one is taken
    out before the next is looked for."""
    graph = {node: set(targets) for node, targets in graph.items()}
    found = []
    while (circle := find_circle(graph)) is not None:
        found.append(circle)
        graph[circle[-2]].discard(circle[-1])
    return found


def include_graph(src, files):
    """Part -> parts it includes; a part is a path under src/ without suffix."""
    graph = {}
    for path, text in files.items():
        part = path.relative_to(src).with_suffix("").as_posix()
        for included in re.findall(r'^\s*#\s*include\s+"([^"]+)"', text, re.M):
            target = pathlib.PurePosixPath(included).with_suffix("").as_posix()
            if target != part and (src / included).exists():
                graph.setdefault(part, set()).add(target)
    return graph


def call_graph(src, files):
    """Source file -> source files whose members of a shared class it calls."""
    defined = {}  # (class, member) -> file defining it
    for path, text in files.items():
        if path.suffix == ".cpp":
            for cls, member in re.findall(r"\b([A-Z]\w*)::(~?\w+)\s*\(", strip(text)):
                defined.setdefault((cls, member), path)
    graph = {}
    for path, text in files.items():
        if path.suffix != ".cpp":
            continue
        code = strip(text)
        for (cls, member), home in defined.items():
            if home == path or f"{cls}::" not in code:
                continue
            calls = re.findall(rf"(?<![\w:~]){re.escape(member)}\s*\(", code)
            if calls:
                graph.setdefault(path.relative_to(src).as_posix(), set()).add(home.relative_to(src).as_posix())
    return graph


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("root", nargs="?", default=pathlib.Path(__file__).resolve().parent.parent, type=pathlib.Path)
    parser.add_argument("--allow", action="append", default=[], help="a file let off the size limits")
    args = parser.parse_args()
    root = args.root.resolve()
    src = root / "src"
    files = {p: p.read_text(encoding="utf-8") for p in sorted(src.rglob("*")) if p.suffix in SOURCES}
    allowed = set(args.allow)
    breaches = []
    for path, text in files.items():
        breaches += sizes(root, path, text, allowed)
    for kind, graph in (("includes", include_graph(src, files)), ("calls", call_graph(src, files))):
        for circle in circles(graph):
            if not any(let_off(f"src/{node}", allowed) for node in circle):
                breaches.append(f"a circle of {kind}: " + " -> ".join(circle))
    for breach in breaches:
        print(breach)
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main())
