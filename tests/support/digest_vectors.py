"""Checks digests and keyed digests against Python's hashlib and hmac.

Reads the file named as the only argument, one request a line, fields separated by one
space, byte strings in hex ("-" for the empty string):
  hash   <algorithm> - <message> <expected>      hashlib digest
  hmac   <algorithm> <key> <message> <expected>  Python's hmac (block size of the digest)
  hmac64 <algorithm> <key> <message> <expected>  HMAC with a 64-byte key block for every digest
Prints one line for each request whose result differs from <expected>, then "<n> checked".
"""
import hashlib
import hmac
import sys


def hmac64(algorithm, key, message):
    if len(key) > 64:
        key = hashlib.new(algorithm, key).digest()
    block = key.ljust(64, b"\0")
    inner = hashlib.new(algorithm, bytes(b ^ 0x36 for b in block) + message).digest()
    return hashlib.new(algorithm, bytes(b ^ 0x5C for b in block) + inner).digest()


ANSWERS = {
    "hash": lambda algorithm, key, message: hashlib.new(algorithm, message).digest(),
    "hmac": lambda algorithm, key, message: hmac.new(key, message, algorithm).digest(),
    "hmac64": hmac64,
}

checked = 0
with open(sys.argv[1]) as requests:
    for line in requests:
        op, algorithm, key, message, expected = line.split()
        key, message = (b"" if f == "-" else bytes.fromhex(f) for f in (key, message))
        answer = ANSWERS[op](algorithm, key, message).hex()
        if answer != expected:
            print(f"{op} {algorithm} key {len(key)} message {len(message)}: {expected} != {answer}")
        checked += 1
print(f"{checked} checked")
