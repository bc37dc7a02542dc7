#!/usr/bin/env python3
"""Signing by scripts/release.sh, with a throwaway certificate made here.

A code-signing certificate and a time-stamping authority are made with
openssl; the authority answers RFC 3161 requests on 127.0.0.1 (openssl ts),
so no network is needed. release.sh then runs in a clone that has built once
already (only the packaging is redone):
- with --sign-cert, --sign-key and --timestamp: tavrin.exe (in the zip and in
  the installer) and the installer verify with osslsigncode, time stamp included;
- with TAVRIN_SIGN_CERT and TAVRIN_SIGN_KEY: signed, with no time stamp;
- with a key that does not belong to the certificate: release.sh fails.

Usage: sign_checks.py CLONE VERSION WORK_DIR
Exit codes: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ntfs"))
from progress_lines import say  # noqa: E402
from run_ntfs_tests import Failures, skip, verdict  # noqa: E402

TSA_CONFIG = """[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = {work}/tsa-serial
crypto_device = builtin
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def certificate(work, name, subject, usage):
    key, cert = os.path.join(work, name + ".key"), os.path.join(work, name + ".pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=" + subject, "-addext", "extendedKeyUsage=critical," + usage,
                    "-addext", "keyUsage=critical,digitalSignature"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


class TimeStamps:
    """An RFC 3161 time-stamping authority on a free port of 127.0.0.1; counts its answers."""

    def __init__(self, work):
        self.cert, self.key = certificate(work, "tsa", "tavrin test time stamps", "timeStamping")
        self.config = os.path.join(work, "tsa.cnf")
        with open(self.config, "w") as c:
            c.write(TSA_CONFIG.format(work=work))
        with open(os.path.join(work, "tsa-serial"), "w") as s:
            s.write("01\n")
        self.answered = 0
        authority = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                reply = authority.reply(query, self.headers.get("Content-Type"))
                self.send_response(200 if reply else 400)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def reply(self, query, content_type):
        if content_type != "application/timestamp-query":
            return b""
        with tempfile.NamedTemporaryFile() as q:
            q.write(query)
            q.flush()
            made = subprocess.run(["openssl", "ts", "-reply", "-config", self.config, "-queryfile", q.name,
                                   "-inkey", self.key, "-signer", self.cert, "-out", "/dev/stdout"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.answered += made.returncode == 0
        return made.stdout if made.returncode == 0 else b""

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class Signing:
    def __init__(self, clone, version, work):
        self.clone, self.version, self.work = clone, version, work
        self.dist = os.path.join(clone, "dist")
        self.f = Failures()
        self.cert, self.key = certificate(work, "signer", "tavrin test signer", "codeSigning")
        self.other_cert, _ = certificate(work, "other", "someone else", "codeSigning")

    def release(self, *args, env=None):
        started = time.monotonic()
        done = subprocess.run(["bash", "scripts/release.sh", *args], cwd=self.clone,
                              env=dict(os.environ, **(env or {})),
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        say(f"release.sh {' '.join(a for a in args if not a.startswith('/'))}: "
            f"{time.monotonic() - started:.0f} s", "release.sign")
        return done.returncode, done.stdout.decode(errors="replace")

    def artifacts(self):
        """{name: path} of tavrin.exe (from the zip and from the installer) and the installer."""
        out = os.path.join(self.work, "unpacked")
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(os.path.join(out, "msi"))
        subprocess.run(["unzip", "-q", os.path.join(self.dist, f"tavrin-{self.version}-win64.zip"), "tavrin.exe",
                        "-d", os.path.join(out, "zip")], check=True)
        msi = os.path.join(self.dist, f"tavrin-{self.version}-x64.msi")
        subprocess.run(["msiextract", "-C", os.path.join(out, "msi"), msi], check=True, stdout=subprocess.DEVNULL)
        in_msi = [os.path.join(d, n) for d, _, names in os.walk(os.path.join(out, "msi")) for n in names]
        return {"tavrin.exe in the zip": os.path.join(out, "zip", "tavrin.exe"),
                "tavrin.exe in the installer": in_msi[0] if in_msi else "/nonexistent", "the installer": msi}

    def verify(self, path, tsa=None):
        args = ["osslsigncode", "verify", "-CAfile", self.cert]
        if tsa:
            args += ["-TSA-CAfile", tsa.cert]
        done = subprocess.run(args + ["-in", path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        return done.returncode, done.stdout.decode(errors="replace")

    def check_signed(self, what, log, tsa=None):
        f = self.f
        f.expect(f"== signing: with {self.cert}" in log and "unsigned" not in log, f"release.sh says:\n{log[-1500:]}")
        for name, path in self.artifacts().items():
            rc, said = self.verify(path, tsa)
            f.expect(rc == 0 and "Signature verification: ok" in said, f"{name} ({what}) does not verify:\n{said}")
            stamped = "Timestamp Server Signature verification: ok" in said
            f.expect(stamped == (tsa is not None), f"{name} ({what}): time stamp {'missing' if tsa else 'present'}")
        sums = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=self.dist,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        f.expect(sums.returncode == 0, f"SHA256SUMS of the signed artifacts: {sums.stdout.decode()}")

    def run_all(self):
        f = self.f
        f.section = "arguments, time stamp"
        tsa = TimeStamps(self.work)
        try:
            rc, log = self.release("--sign-cert", self.cert, "--sign-key", self.key, "--timestamp", tsa.url)
            f.equal(0, rc, f"release.sh with a certificate:\n{log[-2000:]}")
            # One request per signature: tavrin.exe, then the installer.
            f.equal(2, tsa.answered, "time stamps given")
            self.check_signed("arguments", log, tsa)
            # Not ours: a signature must be checked against the signer's certificate.
            other = subprocess.run(["osslsigncode", "verify", "-CAfile", self.other_cert, "-in",
                                    self.artifacts()["the installer"]], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
            f.expect(other.returncode != 0, "the installer verifies against another certificate")
        finally:
            tsa.stop()

        f.section = "environment"
        rc, log = self.release(env={"TAVRIN_SIGN_CERT": self.cert, "TAVRIN_SIGN_KEY": self.key})
        f.equal(0, rc, f"release.sh with TAVRIN_SIGN_CERT:\n{log[-2000:]}")
        self.check_signed("environment", log)

        f.section = "wrong key"
        _, other_key = certificate(self.work, "stray", "stray key", "codeSigning")
        rc, log = self.release("--sign-cert", self.cert, "--sign-key", other_key)
        f.expect(rc != 0 and "release: osslsigncode could not sign" in log,
                 f"release.sh with a key of another certificate: status {rc}\n{log[-1500:]}")
        rc, log = self.release("--sign-key", self.key)
        f.expect(rc != 0 and "release: signing needs both a certificate and a key" in log,
                 f"release.sh with a key alone: status {rc}\n{log[-600:]}")


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    clone, version, work = (os.path.abspath(a) if i != 1 else a for i, a in enumerate(sys.argv[1:]))
    for tool in ["osslsigncode", "openssl", "msiextract", "unzip"]:
        if shutil.which(tool) is None:
            skip(f"{tool} is not installed (bash scripts/test.sh installs it as root)")
    if not os.path.isfile(os.path.join(clone, "dist", "SHA256SUMS")):
        skip("no artifacts: the case release.reproducible did not build them")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    signing = Signing(clone, version, work)
    signing.run_all()
    return verdict(signing.f)


if __name__ == "__main__":
    sys.exit(main())
