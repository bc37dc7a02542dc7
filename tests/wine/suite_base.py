"""What every case of the end-to-end suite shares: the expected texts, the
checks, and the helpers that run tavrin.exe and make trees through the host
(a Wine prefix, or the Windows machine itself)."""

import re
import time

SKIP = 77

USAGE = (
    "\n\ttavrin.exe list [path]"
    "\n\t\t- lits all attributes for all files form each drive"
    "\n\t\t- saves output to output.txt"
    "\n\t\t- if you add a path, only files in that folder will be processed"
    "\n\n\ttavrin.exe repair [path]"
    "\n\t\t- repairs all attributes for all files form each drive"
    "\n\t\t- if it fails, output is saved to notRepaired.txt"
    "\n\t\t- if you add a path, only files in that folder will be processed"
    "\n\t\t- repair means removing the following attributes:"
    "\n\tle trec aici"
    "\n\n\ttavrin.exe set DWORD path >>testing purpose only"
    "\n\n\ttavrin.exe listall [path] >>testing purpose only"
)
TOOL_FOLDER = "C:\\ProgramData\\Norvane\\Wickline"
MAKE_TOOL_FOLDER = ('mkdir "{0}" && icacls "{0}" /inheritance:r /grant:r "*S-1-5-32-544:(OI)(CI)F" '
                    '"*S-1-5-18:(OI)(CI)F" "*S-1-5-32-545:(OI)(CI)RX" (in a command prompt run as '
                    'administrator)').format(TOOL_FOLDER)
WARNING = "\nSETTINGS ATTRIBUTES SETTING FOLDERS AS PARAMS IS DANGEROUS !!!!"


class Skip(Exception):
    pass


def crlf(text):
    """What the program writes for `text`: UTF-8, line feeds as CRLF."""
    return text.replace("\n", "\r\n").encode("utf-8")


def records(*pairs):
    return "".join("\n%d, %s" % (word, path) for word, path in pairs)


def expect_equal(what, actual, expected):
    if actual != expected:
        raise AssertionError("%s differs\n  expected: %r\n  actual:   %r" % (what, expected, actual))


def wait_for(what, condition, proc, seconds=120):
    """Polls `condition` until it holds; the run ending first skips the
    case (it was faster than the case could hold it)."""
    deadline = time.monotonic() + seconds
    while not condition():
        if proc.poll() is not None:
            raise Skip("the run ended before %s" % what)
        if time.monotonic() > deadline:
            raise AssertionError("no %s within %d s" % (what, seconds))
        time.sleep(0.005)


class SuiteBase:
    def __init__(self, host):
        self.host = host
        self.tool_folder = host.local(TOOL_FOLDER)
        self.cleanups = []

    def tavrin(self, *args, status=0, errors="", cwd=None):
        """Runs tavrin.exe; returns its standard output. The exit status must
        be `status` and standard error `errors` (text, CRLF line ends added),
        or match it when it is a compiled pattern."""
        rc, out, err = self.host.run(args, cwd)
        if rc != status:
            raise AssertionError(
                "tavrin.exe %s exited with %d, not %d; stderr: %r" % (" ".join(args), rc, status, err[-2000:])
            )
        if isinstance(errors, str):
            expect_equal("stderr of tavrin.exe %s" % " ".join(args), err, crlf(errors))
        elif not errors.fullmatch(err.decode("utf-8", errors="replace").replace("\r\n", "\n")):
            raise AssertionError("stderr of tavrin.exe %s: %r" % (" ".join(args), err[-2000:]))
        return out

    def tree(self, root, files):
        r"""Makes a fresh <base>\<root> with `files`: relative path -> bytes,
        or None for a directory. Returns its Windows path."""
        path = self.host.base + "\\" + root
        local = self.host.local(path)
        self.host.clear(local)
        local.mkdir(parents=True)
        for name, content in files.items():
            target = local.joinpath(*name.split("\\"))
            if content is None:
                target.mkdir(parents=True, exist_ok=True)
            else:
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(content)
        return path

    def dropped_later(self, root):
        """`root` goes after the case: later scans of the base must not meet it."""
        self.cleanups.append(lambda: self.host.clear(self.local(root)))

    def local(self, windows_path):
        return self.host.local(windows_path)

    def fresh_tool_folder(self):
        self.host.clear(self.tool_folder)
        self.tool_folder.mkdir(parents=True)

    def only_result(self, name_pattern):
        """The one result file of the run; its name must match `name_pattern`."""
        names = sorted(p.name for p in self.tool_folder.iterdir())
        if len(names) != 1 or not re.fullmatch(name_pattern, names[0]):
            raise AssertionError("expected one result file like %s, found %r" % (name_pattern, names))
        return names[0], (self.tool_folder / names[0]).read_bytes()

    def no_result(self):
        names = sorted(p.name for p in self.tool_folder.iterdir())
        expect_equal("result files", names, [])

    def read_only(self, windows_path, on=True):
        self.host.read_only(self.local(windows_path), on)

    def hidden_system(self, windows_path):
        self.host.hidden_system(self.local(windows_path))

    def immutable(self, windows_path):
        """Makes the file refuse every attribute change, even an administrator's."""
        self.cleanups.append(self.host.lock(self.local(windows_path)))

    def listall(self, *roots, status=0, errors=""):
        """The allFiles records of a listall over `roots`, as text."""
        self.fresh_tool_folder()
        expect_equal("listall console", self.tavrin("listall", *roots, status=status, errors=errors), b"")
        _, content = self.only_result(r"-?\d+allFiles\.txt")
        text = content.decode("utf-8")
        if text.count("\n") != text.count("\r\n"):
            raise AssertionError("a line end that is not CRLF in %r" % content[:200])
        return text.replace("\r\n", "\n")

    def big_tree(self, name, count):
        """A tree whose records exceed every buffer on the way out."""
        files = {"f%05d_%s.txt" % (i, "x" * 60): b"" for i in range(count)}
        root = self.tree(name, files)
        return root, records(*((32, root + "\\" + f) for f in sorted(files)))

    def console_run(self, *args, stderr_to_console=True):
        """What a 200-column console showed of a run, the console's own
        escapes and carriage returns taken out."""
        shown = self.host.console_run(args, stderr_to_console)
        shown = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\x07]*\x07|\r", b"", shown)
        return shown.decode("utf-8", errors="replace")
