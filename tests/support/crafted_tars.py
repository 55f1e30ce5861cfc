#!/usr/bin/env python3
"""Tar archives crafted where a reader must read headers exactly as GNU tar and bsdtar do:
the header checksum, several extension headers before one entry, pax records against GNU long
names, names the system cannot take, a type flag with a trailing slash, an entry over another
kind at the same name, and hard links to a file spelled as a folder.

python3 tarfile writes each archive; raw header bytes are changed only where tarfile cannot
write what is wanted (a size that lies, a checksum summed over signed bytes), and the
checksum is then made anew unless the fault is the checksum itself.

crafted_tars.py OUT-DIR   writes every archive as OUT-DIR/NAME.tar
As a module, archives() gives {NAME: bytes} (fuzz/make-corpus seeds the fuzz targets with it).
"""
import io
import os
import sys
import tarfile

BLOCK = 512
CHECKSUM_AT, CHECKSUM_END = 148, 156


def entry(name, kind="0", data=b"", link=""):
    """A tarfile member: kind '0' file, '5' folder, '2' symbolic link, '1' hard link, or any
    other typeflag ('7', 'x', 'L', 'K') written as given with `data` behind it."""
    info = tarfile.TarInfo(name)
    info.type, info.linkname, info.mode, info.mtime = kind.encode(), link, 0o644, 0
    info.size = len(data) if kind not in "125" else 0
    return info, data


def pax(**records):
    """The data of a pax header holding `records` ("LENGTH KEYWORD=VALUE\\n", LENGTH counting itself)."""
    data = b""
    for keyword, value in records.items():
        body = b" " + keyword.encode() + b"=" + value.encode() + b"\n"
        length = len(body) + 1
        while len(str(length)) + len(body) != length:
            length += 1
        data += str(length).encode() + body
    return data


def archive(*members, fmt=tarfile.USTAR_FORMAT):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=fmt) as tar:
        for info, data in members:
            tar.addfile(info, io.BytesIO(data) if info.size else None)
    return out.getvalue()


def seal(tar, at, signed=False):
    """The header at byte `at` with its checksum made anew, its bytes summed unsigned or signed."""
    block = bytearray(tar[at:at + BLOCK])
    block[CHECKSUM_AT:CHECKSUM_END] = b" " * 8
    total = sum(b - 256 if signed and b > 127 else b for b in block)
    block[CHECKSUM_AT:CHECKSUM_END] = b"%06o\0 " % total
    return tar[:at] + bytes(block) + tar[at + BLOCK:]


def size_says(tar, at, size):
    """The header at byte `at` with its size field saying `size`, its checksum made anew."""
    tar = tar[:at + 124] + b"%011o\0" % size + tar[at + 136:]
    return seal(tar, at)


def archives():
    hello = b"hello world\n" + b"-" * 500
    return {
        # A file whose size says 0: its data comes where a header is due.
        "data-as-header": size_says(archive(entry("a", data=hello), entry("b", data=b"b\n")), 0, 0),
        # Old BSD, Solaris and HP-UX tars summed the header's bytes as signed.
        "signed-checksum": seal(archive(entry("na\u00efve", data=b"s\n")), 0, signed=True),
        "two-pax-headers": archive(entry("PaxHeaders/first", "x", pax(path="first")),
                                   entry("PaxHeaders/second", "x", pax(mtime="1")), entry("own", data=b"x")),
        "long-name-then-pax": archive(entry("././@LongLink", "L", b"gnu-name\0"),
                                      entry("PaxHeaders/own", "x", pax(path="pax-name")), entry("own", data=b"x")),
        "pax-then-long-name": archive(entry("PaxHeaders/own", "x", pax(path="pax-name")),
                                      entry("././@LongLink", "L", b"gnu-name\0"), entry("own", data=b"x")),
        "long-link-then-pax": archive(entry("././@LongLink", "K", b"gnu-target\0"),
                                      entry("PaxHeaders/l", "x", pax(linkpath="pax-target")),
                                      entry("l", "2", link="own")),
        "pax-then-long-link": archive(entry("PaxHeaders/l", "x", pax(linkpath="pax-target")),
                                      entry("././@LongLink", "K", b"gnu-target\0"), entry("l", "2", link="own")),
        # What tar -cf a.tar dir/link writes: no entry of the link's folder.
        "link-without-folder": archive(entry("dir/link", "2", link="target")),
        "component-of-255": archive(entry("d/" + "n" * 255, data=b"x"), fmt=tarfile.PAX_FORMAT),
        "component-of-256": archive(entry("d/" + "n" * 256, data=b"x"), fmt=tarfile.PAX_FORMAT),
        "link-target-of-4095": archive(entry("l", "2", link="t/" * 2047 + "t"), fmt=tarfile.PAX_FORMAT),
        "link-target-of-4096": archive(entry("l", "2", link="t/" * 2048), fmt=tarfile.PAX_FORMAT),
        "contiguous-folder": archive(entry("c7/", "7"), entry("c7/f", data=b"x")),
        "folder-over-link": archive(entry("d", "2", link="nowhere"), entry("d", "5"), entry("d/f", data=b"x")),
        "folder-over-file": archive(entry("d", data=b"file"), entry("d", "5"), entry("d/f", data=b"x")),
        "folder-over-folder": archive(entry("d", "5"), entry("d/f", data=b"x"), entry("d", "5")),
        "hard-link-to-file-slash": archive(entry("f", data=b"x"), entry("h", "1", link="f/")),
        "hard-link-to-file-dot": archive(entry("f", data=b"x"), entry("h", "1", link="f/.")),
    }


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, data in archives().items():
        with open(os.path.join(out, name + ".tar"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
