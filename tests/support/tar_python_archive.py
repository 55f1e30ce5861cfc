"""Writes a ustar archive with Python's tarfile: input made independently of our reader.

usage: tar_python_archive.py tree|backslash OUT.tar
  tree       nested directories, an empty file, 512- and 513-byte files, a 100-byte name,
             relative and absolute symbolic links
  backslash  a name and a link target written with backslashes
"""
import io
import sys
import tarfile


def add(archive, name, kind, payload=b""):
    info = tarfile.TarInfo(name)
    info.type = kind
    info.mode = 0o755 if kind == tarfile.DIRTYPE else 0o644
    if kind == tarfile.SYMTYPE:
        info.linkname = payload
        payload = b""
    info.size = len(payload)
    archive.addfile(info, io.BytesIO(payload) if payload else None)


def content(length, seed):
    return bytes((i * 131 + seed * 17 + (i >> 8)) % 256 for i in range(length))


ENTRIES = {
    "tree": [("top", tarfile.DIRTYPE), ("top/nested", tarfile.DIRTYPE),
             ("top/nested/deeper", tarfile.DIRTYPE), ("top/empty", tarfile.REGTYPE),
             ("top/b512", tarfile.REGTYPE, content(512, 1)),
             ("top/nested/b513", tarfile.REGTYPE, content(513, 2)),
             ("top/nested/deeper/b2000", tarfile.REGTYPE, content(2000, 3)),
             ("top/" + "n" * 96, tarfile.REGTYPE, content(77, 4)),  # a name of 100 bytes
             ("top/rel", tarfile.SYMTYPE, "nested/deeper"),
             ("top/abs", tarfile.SYMTYPE, "/nonexistent/absolute/target")],
    "backslash": [("dir\\sub\\file.txt", tarfile.REGTYPE, b"backslash name\n"),
                  ("lnk", tarfile.SYMTYPE, "a\\b")],
}

with tarfile.open(sys.argv[2], "w", format=tarfile.USTAR_FORMAT) as out:
    for entry in ENTRIES[sys.argv[1]]:
        add(out, *entry)
