"""Writes Windows icon files (.ico): one 32-bit image with alpha per size, each
with an AND mask that hides what the alpha channel leaves mostly transparent,
for code paths that draw with the mask instead of the alpha channel."""

import struct


def _image(rows):
    height, width = len(rows), len(rows[0])
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    mask_stride = (width + 31) // 32 * 4
    for row in reversed(rows):  # bottom-up, like every DIB
        bits = bytearray(mask_stride)
        for x, (r, g, b, a) in enumerate(row):
            if a < 128:
                bits[x // 8] |= 0x80 >> (x % 8)
            if a == 0:
                r = g = b = 0
            colour += bytes((b, g, r, a))
        mask += bits
    return header + bytes(colour) + bytes(mask)


def write(path, images):
    """images: rows top-down of (r, g, b, a) tuples, one square image per size."""
    images = sorted(images, key=len)
    data = [_image(rows) for rows in images]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for rows, blob in zip(images, data):
        size = len(rows)
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32,
                                 len(blob), offset)
        offset += len(blob)
    with open(path, "wb") as out:
        out.write(directory)
        for blob in data:
            out.write(blob)
