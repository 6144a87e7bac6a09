#!/usr/bin/env python3
"""Builds the Windows Installer package from the unpacked Windows bundle, the same bytes
for the same files, version and commit.

    write_msi.py <output.msi> <bundle folder> <version> <commit> <time>

wixl makes the package code (the summary's revision number) anew at every run and
writes the time of the run into the summary; both are then set from the commit: the
package code and the product code are name-based UUIDs of version and commit, the
times are the given time (seconds since 1970, the commit's).
"""
import os
import re
import struct
import subprocess
import sys
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
NAMESPACE = uuid.UUID("6C1B3E0A-7D52-4E41-9F27-3A6D0E5B8C14")  # the package's upgrade code
FILETIME_1970 = 116444736000000000  # 100 ns steps from 1601 to 1970


def code(kind, version, commit):
    return str(uuid.uuid5(NAMESPACE, kind + " " + version + " " + commit)).upper()


def main():
    output, bundle, version, commit, stamp = sys.argv[1:6]
    output = os.path.abspath(output)
    product, package = code("product", version, commit), code("package", version, commit)
    subprocess.run(["wixl", "-a", "x86", "-D", "Version=" + version, "-D", "ProductCode=" + product,
                    "-D", "PackageCode=" + package, "-D", "Commit=" + commit, "-D", "Files=.",
                    "-o", output, os.path.join(HERE, "kestar.wxs")], check=True, cwd=bundle)  # wixl: relative sources
    data = bytearray(open(output, "rb").read())
    # The summary's revision number, as msiinfo reads it.
    summary = subprocess.run(["msiinfo", "suminfo", output], check=True, capture_output=True, text=True).stdout
    made = re.search(r"Revision number \(UUID\): (\{[0-9A-F-]{36}\})", summary)
    found = [m for m in re.finditer(re.escape(made.group(1).encode()), data)] if made else []
    if len(found) != 1:
        sys.exit("write_msi.py: expected the package code once in the summary, found %d" % len(found))
    data[found[0].start():found[0].end()] = ("{" + package + "}").encode()
    # Its two times (VT_FILETIME, type 64): any within a day of now becomes the given time.
    now = int(os.path.getmtime(output)) * 10000000 + FILETIME_1970
    fixed = struct.pack("<Q", int(stamp) * 10000000 + FILETIME_1970)
    times = 0
    for m in re.finditer(rb"\x40\x00\x00\x00", data):
        value = struct.unpack_from("<Q", data, m.end())[0] if m.end() + 8 <= len(data) else 0
        if abs(value - now) < 864000000000:
            data[m.end():m.end() + 8] = fixed
            times += 1
    if times != 2:
        sys.exit("write_msi.py: expected two times in the summary, found %d" % times)
    open(output, "wb").write(data)


if __name__ == "__main__":
    main()
