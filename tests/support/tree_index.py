#!/usr/bin/env python3
"""An independent reader and forger of velk-unpack's tree index (.NAME.velk-index, version 1).

Layout, little-endian: header 96 bytes ("VELKTIDX", version, log2 block size, device, tree
inode, 32-byte key, 32 zero bytes); records (kind, path size, path, mode, size, inode, mtime
s/ns, ctime s/ns, then a file's 32-byte keyed BLAKE2b digests of each block, or a link's
target); end ('E', record count, BLAKE2b-256 of every byte before it).

Usage:
  tree_index.py check INDEX DEST     every file record's digests against DEST's files, the end
                                     digest against the bytes: prints one line per record
                                     ("f PATH ok", "d PATH", ...) and exits 1 on a mismatch
  tree_index.py forge INDEX PATH FILE [--tree-inode N] [--stale]
                                     PATH's digests made those of FILE's bytes (the same size),
                                     the header's tree inode set to N, the end digest made
                                     right unless --stale
"""
import hashlib
import os
import struct
import sys

HEADER, FIXED = 96, 49


def blake(data, key=b""):
    return hashlib.blake2b(data, digest_size=32, key=key).digest()


def parse(raw):
    assert raw[:8] == b"VELKTIDX", "no index"
    version, log = struct.unpack_from("<II", raw, 8)
    assert version == 1, "version %d" % version
    key = raw[32:64]
    records, at = [], HEADER
    while raw[at:at + 1] != b"E":
        kind = raw[at:at + 1].decode()
        (size_path,) = struct.unpack_from("<I", raw, at + 1)
        path = raw[at + 5:at + 5 + size_path].decode("utf-8", "surrogateescape")
        fields = at + 5 + size_path
        mode, size = struct.unpack_from("<IQ", raw, fields)
        data = fields + FIXED - 5
        length = -(-size >> log) * 32 if kind == "f" else (size if kind in "lh" else 0)
        records.append({"kind": kind, "path": path, "size": size, "mode": mode, "data": data, "length": length})
        at = data + length
    count, digest = struct.unpack_from("<Q", raw, at + 1)[0], raw[at + 9:at + 41]
    return {"key": key, "log": log, "records": records, "end": at, "count": count, "digest": digest}


def check(index_path, dest):
    raw = open(index_path, "rb").read()
    index, good = parse(raw), True
    if index["count"] != len(index["records"]) or blake(raw[:index["end"] + 1]) != index["digest"]:
        print("end record wrong")
        good = False
    block = 1 << index["log"]
    for r in index["records"]:
        line = "%s %s" % (r["kind"], r["path"])
        if r["kind"] == "f":
            try:
                content = open(os.path.join(dest, r["path"]), "rb").read()
            except OSError:
                content = None
            wanted = b"".join(blake(content[i:i + block], index["key"]) for i in range(0, len(content or b""), block))
            ok = content is not None and len(content) == r["size"] and wanted == raw[r["data"]:r["data"] + r["length"]]
            good = good and ok
            line += " ok" if ok else " DIFFERS"
        print(line)
    return 0 if good else 1


def forge(index_path, path, source, tree_inode, stale):
    raw = bytearray(open(index_path, "rb").read())
    index = parse(bytes(raw))
    record = next(r for r in index["records"] if r["path"] == path and r["kind"] == "f")
    content, block = open(source, "rb").read(), 1 << index["log"]
    assert len(content) == record["size"], "FILE must have the size of the record"
    digests = b"".join(blake(content[i:i + block], index["key"]) for i in range(0, len(content), block))
    raw[record["data"]:record["data"] + record["length"]] = digests
    if tree_inode is not None:
        struct.pack_into("<Q", raw, 24, tree_inode)
    if not stale:
        raw[index["end"] + 9:index["end"] + 41] = blake(bytes(raw[:index["end"] + 1]))
    with open(index_path, "r+b") as f:
        f.write(raw)
    return 0


def main(argv):
    if len(argv) >= 3 and argv[0] == "check":
        return check(argv[1], argv[2])
    if len(argv) >= 4 and argv[0] == "forge":
        rest = argv[4:]
        inode = int(rest[rest.index("--tree-inode") + 1]) if "--tree-inode" in rest else None
        return forge(argv[1], argv[2], argv[3], inode, "--stale" in rest)
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
