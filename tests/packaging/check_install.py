#!/usr/bin/env python3
"""Checks what an installation delivers.

  check_install.py install CMAKE BUILD FULL_BINDIR FULL_MANDIR MAN_SOURCES VERSION native|cross NAME=PROGRAM...
      `cmake --install BUILD` into a fresh DESTDIR puts exactly the programs NAME, executable by
      everyone, in FULL_BINDIR and their pages NAME.1 (MAN_SOURCES' files) in FULL_MANDIR/man1. Each
      page names every option PROGRAM (built, or its emulator script) --help lists, as roff's \\-\\-;
      natively, the installed programs start and give VERSION.
  check_install.py lint PAGE...
      groff -man -ww -z renders every page without a warning (77, skipped, without groff).
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile


def run(argv, **options):
    return subprocess.run(argv, capture_output=True, text=True, timeout=300, **options)


def check_install(cmake, build, bindir, mandir, man_sources, version, where, *pairs):
    programs = dict(pair.split("=", 1) for pair in pairs)
    failures = []
    with tempfile.TemporaryDirectory(prefix="velk-install-") as root:
        done = run([cmake, "--install", build], env=dict(os.environ, DESTDIR=root))
        if done.returncode != 0:
            raise SystemExit(f"cmake --install failed:\n{done.stdout}{done.stderr}")
        places = {name: (root + os.path.join(bindir, name), root + os.path.join(mandir, "man1", name + ".1"))
                  for name in programs}
        found = {os.path.join(folder, f) for folder, _, files in os.walk(root) for f in files}
        expected = {path for both in places.values() for path in both}
        failures += [f"not installed: {p[len(root):]}" for p in sorted(expected - found)]
        failures += [f"installed but not part of the delivery: {p[len(root):]}" for p in sorted(found - expected)]
        for name, (installed, page) in places.items():
            if not {installed, page} <= found:
                continue
            if os.stat(installed).st_mode & 0o111 != 0o111:
                failures.append(f"{installed}: not executable by everyone")
            text = open(page, encoding="utf-8").read()
            if text != open(os.path.join(man_sources, name + ".1"), encoding="utf-8").read():
                failures.append(f"{page}: not the page of {man_sources}")
            roff = "".join(line for line in text.splitlines(True) if not line.startswith(('.\\"', "'\\\"")))
            listed = run([programs[name], "--help"])
            # An option as --help lists it: "--progress-fd", not the "--" that ends the options.
            options = set(re.findall(r"(?<![\w-])--[A-Za-z][A-Za-z0-9-]*", listed.stdout))
            if listed.returncode != 0 or not options:
                failures.append(f"{name} --help: status {listed.returncode}, no option listed:\n{listed.stdout}")
            for option in sorted(options):  # whole: "--sign" is not found inside "--signature"
                if not re.search(re.escape(option.replace("-", "\\-")) + r"(?![A-Za-z0-9]|\\-)", roff):
                    failures.append(f"{name}.1 does not name {option}, which {name} --help lists (as \\-\\-...)")
            got = run([installed, "--version"]) if where == "native" else None
            if got and (got.returncode != 0 or got.stdout != f"{name} {version}\n"):
                failures.append(f"installed {name} --version: status {got.returncode}, {got.stdout!r}")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


def lint(*pages):
    if shutil.which("groff") is None:
        print("skipped: groff is missing (Debian's groff-base)")
        return 77
    done = run(["groff", "-man", "-ww", "-z", *pages])
    if done.returncode != 0 or done.stderr:
        print(f"groff -man -ww -z: status {done.returncode}\n{done.stderr}")
        return 1
    return 0


if __name__ == "__main__":
    if len(sys.argv) >= 10 and sys.argv[1] == "install":
        sys.exit(check_install(*sys.argv[2:]))
    if len(sys.argv) >= 3 and sys.argv[1] == "lint":
        sys.exit(lint(*sys.argv[2:]))
    sys.exit(__doc__)
