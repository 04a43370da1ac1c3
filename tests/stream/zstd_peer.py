#!/usr/bin/python3
"""An independent zstd peer for the relay codec tests (python3-zstandard).

decode RECORDS OUT: decodes records from the first reset point on, a fresh decoder at each reset point, and writes
    the frames; records before the first reset point are skipped, as a receiver that joins late does.
encode FRAMES RECORDS: encodes raw frames as a relay would (one stream, one block flush per frame, first a reset point).

RECORDS: per record one flag byte (1: reset point), a 32-bit little-endian length, the data."""
import struct
import sys

import zstandard

FRAME_BYTES = 480 * 272 * 2


def read_records(path):
    with open(path, "rb") as f:
        blob = f.read()
    pos = 0
    while pos < len(blob):
        flags, size = blob[pos], struct.unpack_from("<I", blob, pos + 1)[0]
        yield bool(flags & 1), blob[pos + 5:pos + 5 + size]
        pos += 5 + size


def decode(records_path, out_path):
    decoder = None
    with open(out_path, "wb") as out:
        for reset, data in read_records(records_path):
            if reset:
                decoder = zstandard.ZstdDecompressor(max_window_size=1 << 27).decompressobj()
            if decoder is None:
                continue
            frame = decoder.decompress(data)
            if len(frame) != FRAME_BYTES:
                sys.exit("record decoded to %d bytes" % len(frame))
            out.write(frame)


def encode(frames_path, records_path):
    params = zstandard.ZstdCompressionParameters.from_level(
        7, window_log=23, enable_ldm=True, write_checksum=False, write_content_size=False)
    encoder = zstandard.ZstdCompressor(compression_params=params).compressobj()
    with open(frames_path, "rb") as f, open(records_path, "wb") as out:
        first = True
        while True:
            frame = f.read(FRAME_BYTES)
            if len(frame) < FRAME_BYTES:
                break
            data = encoder.compress(frame) + encoder.flush(zstandard.COMPRESSOBJ_FLUSH_BLOCK)
            out.write(bytes([1 if first else 0]) + struct.pack("<I", len(data)) + data)
            first = False


if __name__ == "__main__":
    {"decode": decode, "encode": encode}[sys.argv[1]](sys.argv[2], sys.argv[3])
