#!/usr/bin/env python3
"""Checks what an installation delivers, in two modes:

  check_install.py install CMAKE BUILD FULL_BINDIR FULL_MANDIR MAN_SOURCES VERSION native|cross
                           NAME=PROGRAM...
      `cmake --install BUILD` into a fresh DESTDIR must put exactly the programs NAME in
      FULL_BINDIR and their pages NAME.1 (the files of MAN_SOURCES, unchanged) in
      FULL_MANDIR/man1, nothing else. Every option PROGRAM --help lists (each word that
      starts with "--") must be named in the page, written as roff's \\-\\- so that it
      renders as ASCII hyphens. PROGRAM is the built program, or the script that runs it
      under the emulator; natively, the installed copy must also start and give VERSION.

  check_install.py lint PAGE...
      groff -man -ww -z must render every page without a warning. Exits 77 (skipped) when
      groff is missing.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIPPED = 77

# An option as --help lists it: "--progress-fd", not the "--" that ends the options.
OPTION = re.compile(r"(?<![\w-])--[A-Za-z][A-Za-z0-9-]*")


def listed_options(program):
    run = subprocess.run([program, "--help"], capture_output=True, text=True, timeout=120)
    if run.returncode != 0:
        raise SystemExit(f"{program} --help: exit status {run.returncode}\n{run.stderr}")
    options = sorted(set(OPTION.findall(run.stdout)))
    if not options:
        raise SystemExit(f"{program} --help lists no option:\n{run.stdout}")
    return options


def roff_text(page):
    """The page without its comment lines, which render as nothing."""
    with open(page, encoding="utf-8") as f:
        return "".join(line for line in f if not line.startswith(('.\\"', "'\\\"")))


def missing_options(options, page):
    text = roff_text(page)
    missing = []
    for option in options:
        escaped = option.replace("-", "\\-")
        # Whole: "--sign" is not found inside "--signature".
        if not re.search(re.escape(escaped) + r"(?![A-Za-z0-9]|\\-)", text):
            missing.append(option)
    return missing


def installed_files(root):
    found = set()
    for folder, _, files in os.walk(root):
        for name in files:
            found.add(os.path.relpath(os.path.join(folder, name), root))
    return found


def check_install(args):
    cmake, build, bindir, mandir, man_sources, version, where = args[:7]
    programs = dict(pair.split("=", 1) for pair in args[7:])
    failures = []
    with tempfile.TemporaryDirectory(prefix="velk-install-") as destdir:
        env = dict(os.environ, DESTDIR=destdir)
        run = subprocess.run([cmake, "--install", build], env=env, capture_output=True, text=True, timeout=300)
        if run.returncode != 0:
            raise SystemExit(f"cmake --install failed:\n{run.stdout}{run.stderr}")

        def at(path):
            return os.path.join(destdir, path.lstrip("/"))

        def relative(path):
            return os.path.relpath(at(path), destdir)

        expected = set()
        for name in programs:
            expected.add(relative(os.path.join(bindir, name)))
            expected.add(relative(os.path.join(mandir, "man1", name + ".1")))
        found = installed_files(destdir)
        for path in sorted(expected - found):
            failures.append(f"not installed: /{path}")
        for path in sorted(found - expected):
            failures.append(f"installed but not part of the delivery: /{path}")

        for name, program in programs.items():
            installed = at(os.path.join(bindir, name))
            page = at(os.path.join(mandir, "man1", name + ".1"))
            if not os.path.isfile(installed) or not os.path.isfile(page):
                continue
            if os.stat(installed).st_mode & 0o111 != 0o111:
                failures.append(f"{installed}: not executable by everyone")
            with open(page, "rb") as got, open(os.path.join(man_sources, name + ".1"), "rb") as source:
                if got.read() != source.read():
                    failures.append(f"{page}: not the page of {man_sources}")
            for option in missing_options(listed_options(program), page):
                failures.append(f"{name}.1 does not name {option}, which {name} --help lists (as \\-\\-...)")
            if where == "native":
                run = subprocess.run([installed, "--version"], capture_output=True, text=True, timeout=60)
                if run.returncode != 0 or run.stdout != f"{name} {version}\n":
                    failures.append(f"installed {name} --version: status {run.returncode}, {run.stdout!r}")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


def lint(pages):
    groff = shutil.which("groff")
    if groff is None:
        print("skipped: groff is missing (Debian's groff-base)")
        return SKIPPED
    run = subprocess.run([groff, "-man", "-ww", "-z", *pages], capture_output=True, text=True, timeout=60)
    if run.returncode != 0 or run.stderr:
        print(f"groff -man -ww -z: status {run.returncode}\n{run.stderr}")
        return 1
    return 0


def main():
    if len(sys.argv) >= 10 and sys.argv[1] == "install":
        return check_install(sys.argv[2:])
    if len(sys.argv) >= 3 and sys.argv[1] == "lint":
        return lint(sys.argv[2:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
