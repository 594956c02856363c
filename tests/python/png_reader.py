"""A reader of the PNG files headless Chromium writes (8-bit RGB or RGBA,
not interlaced), in plain Python: the screenshot test reads pixels with it
and docs/make_report_png.py re-encodes its picture with it."""

import struct
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"


def decode(path):
    """(width, height, rows of RGB bytes) of an 8-bit RGB or RGBA PNG without
    interlacing, unfiltered as the PNG standard (ISO 15948) defines."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == SIGNATURE
    at, idat = 8, b""
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        at += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert depth == 8 and colour in (2, 6) and interlace == 0
        elif kind == b"IDAT":
            idat += body
    raw = zlib.decompress(idat)
    bpp = 3 if colour == 2 else 4
    stride = width * bpp
    previous = bytearray(stride)
    rows = []
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        if kind == 1:
            for x in range(bpp, stride):
                line[x] = (line[x] + line[x - bpp]) & 255
        elif kind == 2:
            line = bytearray((a + b) & 255 for a, b in zip(line, previous))
        elif kind == 3:
            for x in range(stride):
                line[x] = (line[x] + ((line[x - bpp] if x >= bpp else 0) + previous[x]) // 2) & 255
        elif kind == 4:
            for x in range(stride):
                a = line[x - bpp] if x >= bpp else 0
                b, c = previous[x], previous[x - bpp] if x >= bpp else 0
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        previous = line
        rows.append(bytes(line) if bpp == 3 else bytes(v for i, v in enumerate(line) if i % 4 != 3))
    return width, height, rows
