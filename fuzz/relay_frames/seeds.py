#!/usr/bin/python3
"""Writes the seed corpus of relay_frames: records made by an independent zstd encoder (python3-zstandard),
one streaming frame per record with a block flush, as a relay sends them."""
import os
import struct

import zstandard

FRAME_BYTES = 480 * 272 * 2
HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def picture(n):
    line = bytes((x * 3 + n) & 0xFF for x in range(960))
    return line * 272


def encoder(window_log=23):
    params = zstandard.ZstdCompressionParameters.from_level(
        7, window_log=window_log, enable_ldm=True, write_checksum=False, write_content_size=False)
    return zstandard.ZstdCompressor(compression_params=params).compressobj()


def records(pictures, window_log=23):
    c = encoder(window_log)
    return [c.compress(p) + c.flush(zstandard.COMPRESSOBJ_FLUSH_BLOCK) for p in pictures]


def entry(data, reset=False, keep=False, give_back=False, claimed=None):
    flags = (3 if reset else 0) | (4 if keep else 0) | (8 if give_back else 0)
    return bytes([flags]) + struct.pack("<H", len(data) if claimed is None else claimed) + data


def write(name, entries):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(b"".join(entries))


r = records([picture(n) for n in range(4)])
write("three_frames", [entry(r[0], reset=True), entry(r[1]), entry(r[2])])
write("join_midstream", [entry(r[1]), entry(r[0], reset=True), entry(r[1])])
write("reset_again", [entry(r[0], reset=True), entry(r[1]), entry(r[0], reset=True), entry(r[1])])
write("flipped_then_reset", [entry(r[0], reset=True), entry(bytes([r[1][0] ^ 0xFF]) + r[1][1:]),
                             entry(r[2]), entry(r[0], reset=True)])
write("two_frames_one_record", [entry(r[0] + r[1], reset=True), entry(r[2])])
write("window_2_27", [entry(records([picture(0)], 27)[0], reset=True)])
write("window_2_28", [entry(records([picture(0)], 28)[0], reset=True)])
write("claims_more_than_it_holds", [entry(r[0], reset=True, claimed=65535)])
many = records([picture(n) for n in range(24)])
write("chain_keeps_everything", [entry(many[0], reset=True, keep=True)] +
      [entry(m, keep=True) for m in many[1:23]] + [entry(many[23], give_back=True)])
