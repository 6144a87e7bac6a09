#!/usr/bin/env python3
"""Writes a bundle's archive so that the same files always give the same bytes.

    write_archive.py zip|tgz <output> <staged folder> <top folder name> <time>

Every file and folder under the staged folder goes into the archive below the top
folder (an empty top: at the archive's root, so that it unpacks as a prefix), in the order of their paths, with the given time (seconds since 1970),
owned by root (0:0), with mode 755 for folders and programs and 644 for the rest.
The gzip header carries the same time and no file name.
"""
import gzip
import io
import os
import sys
import tarfile
import time
import zipfile


def entries(root):
    found = []
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            found.append((os.path.relpath(path, root).replace(os.sep, "/"), path))
    return sorted(found)


def mode_of(path):
    if os.path.isdir(path) or os.stat(path).st_mode & 0o111:
        return 0o755
    return 0o644


def names_of(root, top):
    if not top:
        return entries(root)
    return [(top, root)] + [(top + "/" + rel, path) for rel, path in entries(root)]


def write_tgz(output, root, top, stamp):
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.GNU_FORMAT) as tar:
        names = names_of(root, top)
        for name, path in names:
            info = tarfile.TarInfo(name + ("/" if os.path.isdir(path) else ""))
            info.mtime = stamp
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            info.mode = mode_of(path)
            if os.path.isdir(path):
                info.type = tarfile.DIRTYPE
                tar.addfile(info)
            else:
                info.size = os.path.getsize(path)
                with open(path, "rb") as data:
                    tar.addfile(info, data)
    with open(output, "wb") as out:
        with gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=stamp, compresslevel=9) as packed:
            packed.write(raw.getvalue())


def write_zip(output, root, top, stamp):
    when = time.gmtime(max(stamp, 315532800))[:6]  # a ZIP time cannot be before 1980
    with zipfile.ZipFile(output, "w") as archive:
        names = names_of(root, top)
        for name, path in names:
            folder = os.path.isdir(path)
            info = zipfile.ZipInfo(name + ("/" if folder else ""), date_time=when)
            info.create_system = 3  # the mode below is a Unix mode
            info.external_attr = ((0o040000 if folder else 0o100000) | mode_of(path)) << 16
            if folder:
                info.external_attr |= 0x10  # and a folder for Windows
                archive.writestr(info, b"")
            else:
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as data:
                    archive.writestr(info, data.read(), compresslevel=9)


def main():
    kind, output, root, top, stamp = sys.argv[1:6]
    (write_zip if kind == "zip" else write_tgz)(output, root, top, int(stamp))


if __name__ == "__main__":
    main()
