#!/usr/bin/env python3
"""Reference packer and head reader for VELK packages, written apart from the C++ code.

It uses only the Python standard library (hashlib, gzip, tarfile) and python3-cryptography
(AES-256-CFB128), so a package it makes, or a head it reads, checks our C++ independently.

One package (integers little-endian):
  fileHeader   80  "VELK", 12 free bytes, headerSalt (64)
  headBlock   656  XOR headKey, plain: payloadSeed (64), L (1), label (63 field),
                   N (1), customInfo (519 field), payloadLength (8)
  headCheck    32  keyed SHA-256 over fileHeader + headBlock as stored, key headerSalt
  payload       n  AES-256-CFB128 of gzip(tar)
  tail         32  free bytes

Make a package:   velk_ref_pack.py --label L --info JSON --seed N (--tar F | --tree D | --gzip F) -o OUT
Read a head:      velk_ref_pack.py --decode-head FILE [--offset N]   (prints JSON)
Hostile packages: --label-hex/--info-hex (raw bytes), --label-length/--info-length (the length
byte alone), --magic-hex, --payload-length-override, --gzip (a ready-made stream, used as is).
--print-key prints key=, iv=, payloadOffset=, payloadLength= lines. A label longer than its field
runs on into the bytes behind it; the custom-info length byte and text are then written over them.
"""
import argparse
import gzip
import hashlib
import io
import json
import os
import random
import sys
import tarfile

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms

try:  # newer releases keep CFB apart from the recommended modes
    from cryptography.hazmat.decrepit.ciphers.modes import CFB
except ImportError:
    from cryptography.hazmat.primitives.ciphers.modes import CFB

FILE_HEADER, HEAD_BLOCK, HEAD_CHECK, TAIL = 80, 656, 32, 32
SALT_AT, FREE_AT, FREE_SIZE = 16, 4, 12
LABEL_LEN_AT, LABEL_AT, INFO_LEN_AT, INFO_AT, INFO_FIELD = 64, 65, 128, 129, 519
PAYLOAD_LEN_AT = 648
PAYLOAD_AT = FILE_HEADER + HEAD_BLOCK + HEAD_CHECK
HASHES = {256: hashlib.sha256, 384: hashlib.sha384, 512: hashlib.sha512}


def keyed_digest(bits, message, key):
    """HMAC with a 64-byte key block for every digest (so not RFC 4231 for 384/512)."""
    digest = HASHES[bits]
    if len(key) > 64:
        key = digest(key).digest()
    block = key.ljust(64, b"\0")
    inner = digest(bytes(b ^ 0x36 for b in block) + message).digest()
    return digest(bytes(b ^ 0x5C for b in block) + inner).digest()


def head_key(file_header):
    return hashlib.md5(keyed_digest(512, file_header, file_header[SALT_AT:])).digest()


def xor_head(head, key):
    return bytes(b ^ key[i % len(key)] for i, b in enumerate(head))


def aes_key_iv(payload_seed, salt):
    material = keyed_digest(512, payload_seed, salt)
    d = keyed_digest(384, material, material + salt)
    return d[:32], d[32:48]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def tar_tree(root):
    """USTAR of everything below root: sorted names, owner 0, no owner names, mtime 0."""
    paths = [os.path.relpath(os.path.join(folder, name), root)
             for folder, dirs, files in os.walk(root) for name in dirs + files]
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for rel in sorted(paths):
            full = os.path.join(root, rel)
            info = tar.gettarinfo(full, arcname=rel)
            info.uid = info.gid = info.mtime = 0
            info.uname = info.gname = ""
            tar.addfile(info, io.BytesIO(read(full)) if info.isreg() else None)
    return out.getvalue()


def plain_payload(args):
    if args.gzip:
        return read(args.gzip)
    content = read(args.tar) if args.tar else tar_tree(args.tree)
    return gzip.compress(content, compresslevel=9, mtime=0)


def text_field(text, hex_text):
    return bytes.fromhex(hex_text) if hex_text is not None else (text or "").encode()


def pick(given, default):
    return default if given is None else given


def make_package(args):
    label = text_field(args.label, args.label_hex)
    info = text_field(args.info, args.info_hex)
    if len(label) > 255 or len(info) > INFO_FIELD:
        sys.exit("velk_ref_pack: label or custom information too long")
    rng = random.Random(args.seed)
    magic = bytes.fromhex(args.magic_hex) if args.magic_hex else b"VELK"
    file_header = magic[:4].ljust(4, b"\0") + rng.randbytes(FREE_SIZE) + rng.randbytes(64)
    salt = file_header[SALT_AT:]
    payload_seed = rng.randbytes(64)
    key, iv = aes_key_iv(payload_seed, salt)
    encryptor = Cipher(algorithms.AES(key), CFB(iv)).encryptor()
    payload = encryptor.update(plain_payload(args)) + encryptor.finalize()
    head = bytearray(payload_seed + bytes(HEAD_BLOCK - 64))
    head[LABEL_LEN_AT] = pick(args.label_length, len(label))
    head[LABEL_AT:LABEL_AT + len(label)] = label
    head[INFO_LEN_AT] = pick(args.info_length, len(info))
    head[INFO_AT:INFO_AT + len(info)] = info
    head[PAYLOAD_LEN_AT:] = pick(args.payload_length_override, len(payload)).to_bytes(8, "little")
    stored_head = xor_head(head, head_key(file_header))
    check = keyed_digest(256, file_header + stored_head, salt)
    with open(args.output, "wb") as out:
        out.write(file_header + stored_head + check + payload + rng.randbytes(TAIL))
    if args.print_key:
        print(f"key={key.hex()}\niv={iv.hex()}\npayloadOffset={PAYLOAD_AT}\npayloadLength={len(payload)}")


def decode_head(path, offset):
    """Reads the head of the package at offset the way a decoder must, and prints it as JSON."""
    with open(path, "rb") as f:
        f.seek(offset)
        block = f.read(PAYLOAD_AT)
    if len(block) < PAYLOAD_AT:
        sys.exit("velk_ref_pack: file ends inside the head")
    file_header, stored_head = block[:FILE_HEADER], block[FILE_HEADER:FILE_HEADER + HEAD_BLOCK]
    salt = file_header[SALT_AT:]
    check_ok = keyed_digest(256, file_header + stored_head, salt) == block[FILE_HEADER + HEAD_BLOCK:]
    head = xor_head(stored_head, head_key(file_header))
    label = head[LABEL_AT:LABEL_AT + head[LABEL_LEN_AT]]
    info = head[INFO_AT:INFO_AT + head[INFO_LEN_AT]]
    payload_length = int.from_bytes(head[PAYLOAD_LEN_AT:], "little")
    key, iv = aes_key_iv(head[0:64], salt)
    print(json.dumps({
        "magicOk": file_header[:4] == b"VELK", "checkOk": check_ok,
        "label": label.decode("latin-1"), "labelHex": label.hex(),
        "info": info.decode("latin-1"), "infoHex": info.hex(),
        "payloadLength": payload_length, "payloadOffset": offset + PAYLOAD_AT,
        "next": offset + PAYLOAD_AT + payload_length + TAIL,
        "key": key.hex(), "iv": iv.hex()}, sort_keys=True))


def main():
    p = argparse.ArgumentParser(description="Reference VELK packer (test support)")
    p.add_argument("--decode-head", metavar="FILE")
    p.add_argument("--offset", type=int, default=0, help="package start for --decode-head")
    for name in ("--label", "--label-hex", "--label-length", "--info", "--info-hex", "--info-length", "--magic-hex"):
        byte = name.endswith("-length")  # the length byte alone, 0..255
        p.add_argument(name, **(dict(type=int, choices=range(256), metavar="0..255") if byte else {}))
    p.add_argument("--seed", type=int, default=1)
    source = p.add_mutually_exclusive_group()
    source.add_argument("--tar")
    source.add_argument("--tree")
    source.add_argument("--gzip", help="a gzip stream used as the plain payload, as is")
    p.add_argument("--payload-length-override", type=int)
    p.add_argument("--print-key", action="store_true")
    p.add_argument("-o", "--output")
    args = p.parse_args()
    if args.decode_head:
        return decode_head(args.decode_head, args.offset)
    if not args.output or not (args.tar or args.tree or args.gzip):
        p.error("a package needs -o OUT and one of --tar, --tree, --gzip")
    make_package(args)


if __name__ == "__main__":
    main()
