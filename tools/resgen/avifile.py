"""Writes AVI clips that the Windows animation control plays from a resource:
one video stream, no sound, 8-bit colour with a palette of the clip's own,
every frame a complete RLE8 picture (no frame depends on the one before).

The control treats the colour of the first frame's top-left pixel as the
background that ACS_TRANSPARENT replaces, so a clip can reserve that colour:
only pixels of exactly that colour get its palette entry."""

import struct

BI_RLE8 = 1
AVIF_HASINDEX = 0x10
AVIIF_KEYFRAME = 0x10


def _median_cut(histogram, count):
    """Up to count colours that stand for the (colour -> pixels) histogram."""
    if len(histogram) <= count:
        return list(histogram)

    def measured(box):
        # The widest channel spread, weighted by the box's pixels, decides what to split.
        pixels = sum(n for _, n in box)
        score, axis = -1, 0
        for channel in range(3):
            values = [c[channel] for c, _ in box]
            spread = (max(values) - min(values)) * pixels ** 0.5
            if spread > score:
                score, axis = spread, channel
        return (score if len(box) > 1 else -1, axis, box)

    boxes = [measured(list(histogram.items()))]
    while len(boxes) < count:
        best = max(range(len(boxes)), key=lambda i: boxes[i][0])
        score, axis, box = boxes[best]
        if score < 0:
            break
        del boxes[best]
        box.sort(key=lambda item: item[0][axis])
        half = sum(n for _, n in box) / 2
        running, cut = 0, 1
        for i, (_, n) in enumerate(box[:-1]):
            running += n
            cut = i + 1
            if running >= half:
                break
        boxes += [measured(box[:cut]), measured(box[cut:])]
    palette = []
    for _, _, box in boxes:
        pixels = sum(n for _, n in box)
        palette.append(tuple(int(sum(c[i] * n for c, n in box) / pixels + 0.5) for i in range(3)))
    return palette


def _quantise(frames, reserved):
    """Palette (reserved colour first) and the frames as rows of palette indexes."""
    histogram = {}
    for frame in frames:
        for row in frame:
            for c in row:
                if c != reserved:
                    histogram[c] = histogram.get(c, 0) + 1
    first = [] if reserved is None else [reserved]
    palette = first + _median_cut(histogram, 256 - len(first))
    for i in range(len(first), len(palette)):
        if palette[i] == reserved:  # an average may land on it: keep it unique
            palette[i] = (palette[i][0] ^ 1,) + palette[i][1:]
    start = len(first)
    cache = {} if reserved is None else {reserved: 0}

    def index_of(c):
        found = cache.get(c)
        if found is None:
            best = None
            for i in range(start, len(palette)):
                p = palette[i]
                d = ((c[0] - p[0]) * 3) ** 2 + ((c[1] - p[1]) * 4) ** 2 + ((c[2] - p[2]) * 2) ** 2
                if best is None or d < best:
                    best, found = d, i
            cache[c] = found
        return found

    indexed = [[bytes(index_of(c) for c in row) for row in frame] for frame in frames]
    return palette, indexed


def _rle8_row(row):
    out = bytearray()
    i, n = 0, len(row)
    while i < n:
        j = i + 1
        while j < n and row[j] == row[i] and j - i < 255:
            j += 1
        if j - i >= 3:
            out += bytes((j - i, row[i]))
            i = j
            continue
        # Copy pixels literally up to the next run of three or more.
        k = i
        while k < n and k - i < 255:
            if k + 2 < n and row[k] == row[k + 1] == row[k + 2]:
                break
            k += 1
        literal = row[i:k]
        if len(literal) < 3:
            for value in literal:
                out += bytes((1, value))
        else:
            out += bytes((0, len(literal))) + literal
            if len(literal) % 2:
                out += b"\0"
        i = k
    return out


def rle8(rows):
    """Rows top-down of palette indexes -> one complete RLE8 picture (bottom-up)."""
    out = bytearray()
    bottom_up = list(reversed(rows))
    for y, row in enumerate(bottom_up):
        out += _rle8_row(row)
        out += b"\0\1" if y == len(bottom_up) - 1 else b"\0\0"
    return bytes(out)


def _chunk(fourcc, data):
    return fourcc + struct.pack("<I", len(data)) + data + (b"\0" if len(data) % 2 else b"")


def _list(kind, payload):
    return b"LIST" + struct.pack("<I", 4 + len(payload)) + kind + payload


def write(path, frames, frames_per_second, transparent=None):
    """frames: rows top-down of (r, g, b) tuples, all the same size; transparent:
    the background colour the control may replace (it must be the top-left pixel)."""
    height, width = len(frames[0]), len(frames[0][0])
    if transparent is not None:
        assert frames[0][0][0] == transparent, "the top-left pixel must be the background"
    palette, indexed = _quantise(frames, transparent)
    pictures = [rle8(rows) for rows in indexed]
    largest = max(len(p) for p in pictures)
    microseconds = int(1000000 / frames_per_second + 0.5)

    avih = struct.pack("<14I", microseconds, largest * frames_per_second, 0, AVIF_HASINDEX,
                       len(pictures), 0, 1, largest, width, height, 0, 0, 0, 0)
    strh = struct.pack("<4s4sIHHIIIIIIII4h", b"vids", b"RLE ", 0, 0, 0, 0, 1,
                       frames_per_second, 0, len(pictures), largest, 0xFFFFFFFF, 0,
                       0, 0, width, height)
    # The size of the largest frame: the control hands this header to GDI with
    # each frame, and GDI reads no more RLE data than biSizeImage says.
    strf = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, BI_RLE8, largest, 0, 0,
                       len(palette), 0)
    strf += b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    header = _list(b"hdrl", _chunk(b"avih", avih) +
                   _list(b"strl", _chunk(b"strh", strh) + _chunk(b"strf", strf)))

    movi = bytearray()
    index = bytearray()
    for picture in pictures:
        index += struct.pack("<4sIII", b"00dc", AVIIF_KEYFRAME, 4 + len(movi), len(picture))
        movi += _chunk(b"00dc", picture)
    body = header + _list(b"movi", bytes(movi)) + _chunk(b"idx1", bytes(index))
    with open(path, "wb") as out:
        out.write(b"RIFF" + struct.pack("<I", 4 + len(body)) + b"AVI " + body)
