#!/usr/bin/python3
"""Decodes the relay's video out of a client's decrypted byte stream, independently of our own decoder.

usage: relay_stream_frames.py STREAM DUMP_DIR MIN_FRAMES

STREAM holds what a TLS client received from the relay: length-framed Response messages, some announcing a
relayFrameLength that is followed by that many raw ProxyFrame bytes. Every frame from the first reset point on is
decompressed with python-zstandard (a new decompressor at each reset point, as the stream starts over there) and
compared with the unit's dump of the same frame number. Exits 0 and prints "<n> frames equal the dumps" when every
decoded frame matched and there were at least MIN_FRAMES of them.
"""
import os
import sys

import zstandard

MAX_MESSAGE = 44
FRAME_BYTES = 480 * 272 * 2


def varint(buf, pos):
    value = shift = 0
    while True:
        byte = buf[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, pos


def fields(buf):
    """(number, value) of each field of a protobuf message: ints for varints, bytes for length-delimited ones."""
    pos = 0
    while pos < len(buf):
        key, pos = varint(buf, pos)
        number, wire = key >> 3, key & 7
        if wire == 0:
            value, pos = varint(buf, pos)
        elif wire == 2:
            length, pos = varint(buf, pos)
            value = bytes(buf[pos:pos + length])
            if len(value) != length:
                raise ValueError("truncated field %d" % number)
            pos += length
        else:
            raise ValueError("unexpected wire type %d in field %d" % (wire, number))
        yield number, value


def records(stream):
    """Each CompressedFrameData as (stamp, reset, data), in stream order; a trailing partial message is ignored."""
    pos = 0
    while pos < len(stream):
        length = stream[pos]
        if length > MAX_MESSAGE:
            raise ValueError("length byte %d at offset %d" % (length, pos))
        body = stream[pos + 1:pos + 1 + length]
        if len(body) < length:
            return
        pos += 1 + length
        relay = dict(fields(body)).get(7)
        if relay is None:
            continue
        frame = stream[pos:pos + relay]
        if len(frame) < relay:
            return
        pos += relay
        payload = dict(fields(frame)).get(2)
        if payload is None:
            continue
        record = dict(fields(payload))
        yield record[1] & 0xFFFFFFFFFFFFFFFF, bool(record.get(3, 0)), record[4]


def main():
    stream_path, dumps, minimum = sys.argv[1], sys.argv[2], int(sys.argv[3])
    with open(stream_path, "rb") as f:
        stream = f.read()
    decoder = None
    equal = 0
    for stamp, reset, data in records(stream):
        if reset:
            decoder = zstandard.ZstdDecompressor(max_window_size=1 << 27).decompressobj()
        if decoder is None:
            continue
        pixels = decoder.decompress(data)
        name = os.path.join(dumps, "frame-%05d.rgb565" % (stamp & 0xFFFF))
        with open(name, "rb") as f:
            dump = f.read()
        if len(pixels) != FRAME_BYTES or pixels != dump:
            print("frame %d differs from its dump (%d bytes decoded)" % (stamp, len(pixels)))
            return 1
        equal += 1
    print("%d frames equal the dumps" % equal)
    return 0 if equal >= minimum else 1


if __name__ == "__main__":
    sys.exit(main())
