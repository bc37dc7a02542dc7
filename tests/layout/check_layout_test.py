#!/usr/bin/env python3
"""The layout check on small trees of its own: what it flags and what it lets be."""
import pathlib
import subprocess
import sys
import tempfile
import unittest

CHECK = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "check_layout.py"


def function(name, lines, before=""):
    body = "".join(f"  x += {i};\n" for i in range(lines - 3))
    return f"{before}int {name}(int x) {{\n{body}  return x;\n}}\n"


class CheckLayoutTest(unittest.TestCase):
    def run_check(self, files, *allow):
        with tempfile.TemporaryDirectory() as root:
            for name, text in files.items():
                path = pathlib.Path(root, "src", name)
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_text(text)
            args = [sys.executable, str(CHECK), root] + [f"--allow={a}" for a in allow]
            done = subprocess.run(args, capture_output=True, text=True)
            return done.returncode, done.stdout.splitlines()

    def test_sizes(self):
        self.assertEqual(self.run_check({"a.cpp": function("f", 60)}), (0, []))
        self.assertEqual(self.run_check({"a.cpp": function("f", 61)}),
                         (1, ["src/a.cpp:1: a function of 61 lines (over 60)"]))
        whole = function("f", 80, "// One table of cases: it must stay whole.\n")
        self.assertEqual(self.run_check({"a.cpp": whole}), (0, []))
        long_file = "".join(function(f"f{i}", 50) for i in range(10))
        self.assertEqual(self.run_check({"b/long.cpp": long_file}),
                         (1, ["src/b/long.cpp: 500 lines (over 450)"]))
        self.assertEqual(self.run_check({"b/long.cpp": long_file}, "src/b/long.cpp"), (0, []))

    def test_what_is_not_a_function(self):
        # Control blocks, lambdas, classes and tables inside a short function
        # are not counted apart; a long class of short members is fine.
        members = "".join(f"  int m{i}() {{ return {i}; }}\n" for i in range(70))
        code = ("namespace n {\nclass C {\n public:\n" + members + "};\n"
                "int g() {\n  auto l = [](int v) {\n    return v;\n  };\n"
                "  if (l(1)) {\n    return 2;\n  }\n  return 0;\n}\n"
                "const int table[] = {\n" + "  1,\n" * 70 + "};\n}  // namespace n\n")
        self.assertEqual(self.run_check({"c.h": code}), (0, []))

    def test_circles_of_includes(self):
        files = {"a.h": '#include "b.h"\n', "b.cpp": '#include "b.h"\n#include "a.h"\n', "b.h": ""}
        self.assertEqual(self.run_check(files), (1, ["a circle of includes: a -> b -> a"]))
        self.assertEqual(self.run_check(files, "src/b"), (0, []))
        files["b.cpp"] = '#include "b.h"\n'
        self.assertEqual(self.run_check(files), (0, []))

    def test_circles_of_calls_through_one_class(self):
        files = {
            "p.h": "class P {\n  void one();\n  void two();\n};\n",
            "one.cpp": '#include "p.h"\nvoid P::one() { two(); }\n',
            "two.cpp": '#include "p.h"\nvoid P::two() { one(); }\n',
        }
        self.assertEqual(self.run_check(files), (1, ["a circle of calls: one.cpp -> two.cpp -> one.cpp"]))
        files["two.cpp"] = '#include "p.h"\nvoid P::two() {}\n'
        self.assertEqual(self.run_check(files), (0, []))


if __name__ == "__main__":
    unittest.main()
