"""Reference digests for the digest tests, computed with Python's hashlib and hmac.

Reads requests from the file named as the only argument, one per line, fields
separated by one space, byte strings in hex ("-" for the empty string):
  hash   <algorithm> - <message>      hashlib digest
  hmac   <algorithm> <key> <message>  Python's hmac (block size of the digest)
  hmac64 <algorithm> <key> <message>  HMAC with a 64-byte key block for every digest
and prints one hex result per request, in order.
"""
import hashlib
import hmac
import sys


def unhex(field):
    return b"" if field == "-" else bytes.fromhex(field)


def hmac64(algorithm, key, message):
    if len(key) > 64:
        key = hashlib.new(algorithm, key).digest()
    block = key.ljust(64, b"\0")
    inner = hashlib.new(algorithm, bytes(b ^ 0x36 for b in block) + message).digest()
    return hashlib.new(algorithm, bytes(b ^ 0x5C for b in block) + inner).digest()


def answer(op, algorithm, key, message):
    if op == "hash":
        return hashlib.new(algorithm, message).digest()
    if op == "hmac":
        return hmac.new(key, message, algorithm).digest()
    if op == "hmac64":
        return hmac64(algorithm, key, message)
    raise ValueError("unknown request " + op)


def main():
    out = []
    with open(sys.argv[1]) as requests:
        for line in requests:
            op, algorithm, key, message = line.split()
            out.append(answer(op, algorithm, unhex(key), unhex(message)).hex())
    sys.stdout.write("\n".join(out) + "\n")


main()
