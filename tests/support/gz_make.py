"""Gzip material for the gz tests, made with Python's zlib.
  gz_make.py member SRC OUT  gzip member with a hand-built FEXTRA, FNAME, FCOMMENT, FHCRC header
  gz_make.py raw SRC OUT     raw deflate data (no header, no trailer)
  gz_make.py crc SRC         zlib.crc32 of SRC[start:start+n], start 0..7, n 0..100, one per line
"""
import struct
import sys
import zlib


def raw_deflate(data):
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    return compressor.compress(data) + compressor.flush()


def member(data):
    extra = b"AP\x04\x00velk" + b"ZZ\x02\x00\x01\x02"  # two subfields
    header = b"\x1f\x8b\x08\x1e" + struct.pack("<IBBH", 0x5EED1234, 0, 3, len(extra)) + extra
    header += b"member.bin\x00made by python zlib\x00"
    header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
    return header + raw_deflate(data) + struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)


command, data = sys.argv[1], open(sys.argv[2], "rb").read()
if command == "crc":
    print("\n".join(str(zlib.crc32(data[s:s + n])) for s in range(8) for n in range(101)))
else:
    open(sys.argv[3], "wb").write(member(data) if command == "member" else raw_deflate(data))
