#!/usr/bin/env python3
"""Snapshot of an installed tree: every attribute the installed tree's contract lists.

One line per entry, the tree's root "." first, then by path (bytes order):
  PATH KIND mode=OOOO owner=UID:GID links=N inode=K flags=F xattr=NAME:HEX,... [size=N sha256=H | -> TARGET]
KIND is one of d f l p s c b. `inode=K` numbers the inodes in order of their first path, so two
names share an inode exactly when they show the same K. `flags` are the inode flags
(FS_IOC_GETFLAGS) of folders and regular files, '-' for kinds that cannot be opened to ask,
or the error's name where the file system has none. Extended attributes are all that the
caller may read (root: trusted.* too), ACLs (system.posix_acl_*) and capabilities among them.
Modification, access and change times are left out: they are not part of the contract.

Usage: tree_snapshot.py ROOT
"""
import array
import errno
import fcntl
import hashlib
import os
import stat
import struct
import sys

# _IOR('f', 1, long): the request's size field is the native long's; the kernel writes an int.
FS_IOC_GETFLAGS = (2 << 30) | (struct.calcsize("l") << 16) | (ord("f") << 8) | 1

KINDS = [(stat.S_ISDIR, "d"), (stat.S_ISREG, "f"), (stat.S_ISLNK, "l"), (stat.S_ISFIFO, "p"),
         (stat.S_ISSOCK, "s"), (stat.S_ISCHR, "c"), (stat.S_ISBLK, "b")]


def kind_of(mode):
    return next(letter for test, letter in KINDS if test(mode))


def inode_flags(path, kind):
    if kind not in "df":
        return "-"
    # O_NONBLOCK: nothing here waits on a lease or a partner; O_NOFOLLOW: the kind was lstat's.
    fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    try:
        buffer = array.array("i", [0])
        fcntl.ioctl(fd, FS_IOC_GETFLAGS, buffer, True)
        return "%#x" % buffer[0]
    except OSError as error:
        return errno.errorcode.get(error.errno, str(error.errno))
    finally:
        os.close(fd)


def extended_attributes(path):
    try:
        names = sorted(os.listxattr(path, follow_symlinks=False))
    except OSError as error:
        if error.errno in (errno.ENOTSUP, errno.EPERM):
            return "-"
        raise
    return ",".join(name + ":" + os.getxattr(path, name, follow_symlinks=False).hex() for name in names)


def content(path, kind):
    if kind == "f":
        with open(path, "rb") as file:
            data = file.read()
        return "size=%d sha256=%s" % (len(data), hashlib.sha256(data).hexdigest())
    if kind == "l":
        return "-> " + os.fsdecode(os.readlink(path))
    return ""


def entries(root):
    yield "."
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            yield os.path.relpath(os.path.join(folder, name), root)


def snapshot(root):
    inodes = {}
    lines = []
    for relative in sorted(entries(root), key=lambda p: (p != ".", os.fsencode(p))):
        path = os.path.join(root, relative)
        st = os.lstat(path)
        kind = kind_of(st.st_mode)
        inode = inodes.setdefault((st.st_dev, st.st_ino), len(inodes))
        lines.append("%s %s mode=%04o owner=%d:%d links=%d inode=%d flags=%s xattr=%s %s" % (
            relative, kind, stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid, st.st_nlink, inode,
            inode_flags(path, kind), extended_attributes(path), content(path, kind)))
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    sys.stdout.write(snapshot(sys.argv[1]))
