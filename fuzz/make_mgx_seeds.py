#!/usr/bin/python3
# Writes small MGX archives into the folder given, as seeds for fuzz_archive_zip_mgx: stored,
# zlib ("miniz") and bzip2 blocks, files spanning blocks, a shared block and folders, with
# separate and shared terminators. Standard library only.
import bz2
import os
import struct
import sys
import zlib

METHODS = {0: lambda b: b, 1: zlib.compress, 2: bz2.compress}


def mgx(blocks, entries, shared):
    out = bytearray(b'mgx0')
    table = []
    for method, content in blocks:
        packed = METHODS[method](content)
        table.append((len(out), len(packed), len(content), method))
        out += packed
    block_table = len(out)
    out += b'mgx1' + struct.pack('<I', len(table))
    for row in table:
        out += struct.pack('<QQQI', *row)
    if not shared:
        out += b'mgx2'
    file_table = len(out)
    out += b'mgx2' + struct.pack('<I', len(entries))
    for name, size, segments in entries:
        n = name.encode()
        out += struct.pack('<I', len(n)) + n + struct.pack('<QII', size, 0, len(segments))
        for s in segments:
            out += struct.pack('<III', *s)
    if not shared:
        out += b'mgx3'
    out += b'mgx3' + struct.pack('<IQQ', 0, block_table, file_table)
    return bytes(out)


def main(folder):
    os.makedirs(folder, exist_ok=True)
    text = b''.join(b'line %d of the seed\n' % i for i in range(300))
    for method in METHODS:
        blocks = [(method, text[:3000]), (method, text[3000:]), (0, b'stored bytes'), (method, b'ab' * 50)]
        entries = [('dir/', 0, []),
                   ('dir/span.txt', len(text), [(0, 0, 3000), (1, 0, len(text) - 3000)]),
                   ('view.txt', 12, [(2, 0, 12)]),
                   ('a', 40, [(3, 0, 40)]), ('dir/b', 60, [(3, 40, 60)]),
                   ('mixed', 22, [(2, 0, 12), (3, 0, 10)])]
        for shared in (False, True):
            with open(os.path.join(folder, 'seed_m%d_%s.mgx' % (method, 'shared' if shared else 'separate')), 'wb') as f:
                f.write(mgx(blocks, entries, shared))


main(sys.argv[1])
