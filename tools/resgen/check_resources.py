#!/usr/bin/env python3
"""Checks the icons and clips resgen.py made, read back from the files the
library embeds, with readers of their own (not the writers' code).

    check_resources.py MEDIA_DIR
"""

import os
import struct
import sys
import unittest

MEDIA = sys.argv.pop(1) if len(sys.argv) > 1 else "."
ICONS = ["document.ico", "frozen.ico", "inaccessible.ico", "key.ico", "keys.ico",
         "defragment.ico", "freeze.ico"]
OVERLAYS = ["frozen.ico", "inaccessible.ico", "key.ico"]
# Clip -> the largest picture its dialog has room for (pixels at 96 dpi).
CLIPS = {name: room for names, room in (
    (["copy_large.avi", "check_large.avi", "copy_many_large.avi", "delete_large.avi"], (370, 40)),
    (["copy_small.avi", "copy_many_small.avi", "check_small.avi", "delete_small.avi"], (345, 49)),
    (["analyse.avi", "defragment.avi"], (81, 75))) for name in names}


def read(name):
    with open(os.path.join(MEDIA, name), "rb") as f:
        return f.read()


def icon_images(name):
    """size -> (rows of (b, g, r, a) top-down, rows of mask bits top-down)."""
    data = read(name)
    reserved, kind, count = struct.unpack_from("<HHH", data)
    assert (reserved, kind) == (0, 1), name
    images = {}
    for n in range(count):
        w, h, _, _, planes, bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * n)
        header, width, height2, _, bpp = struct.unpack_from("<IiiHH", data, offset)
        assert (header, width, height2, bits, bpp) == (40, w, 2 * h, 32, 32), name
        pixels = offset + 40
        stride = (w + 31) // 32 * 4
        colour = [[struct.unpack_from("<BBBB", data, pixels + 4 * (y * w + x)) for x in range(w)]
                  for y in range(h)]
        masks = pixels + 4 * w * h
        mask = [[bool(data[masks + y * stride + x // 8] & (0x80 >> x % 8)) for x in range(w)]
                for y in range(h)]
        images[w] = (colour[::-1], mask[::-1])
    return images


def chunks(data, start, end):
    while start < end:
        fourcc, size = struct.unpack_from("<4sI", data, start)
        yield fourcc, start + 8, size
        start += 8 + size + (size & 1)


def clip(name):
    data = read(name)
    assert data[:4] == b"RIFF" and data[8:12] == b"AVI ", name
    found = {}

    def walk(start, end):
        for fourcc, at, size in chunks(data, start, end):
            if fourcc == b"LIST":
                found.setdefault(data[at:at + 4], at)
                walk(at + 4, at + size)
            else:
                found.setdefault(fourcc, []).append((at, size))
    walk(12, len(data))
    at, _ = found[b"avih"][0]
    avih = struct.unpack_from("<14I", data, at)
    at, _ = found[b"strh"][0]
    kind, handler = struct.unpack_from("<4s4s", data, at)
    at, size = found[b"strf"][0]
    bmi = struct.unpack_from("<IiiHHIIiiII", data, at)
    palette = [struct.unpack_from("<BBBB", data, at + 40 + 4 * i)[2::-1]
               for i in range((size - 40) // 4)]
    return {"us": avih[0], "flags": avih[3], "frames": avih[4], "streams": avih[6],
            "buffer": avih[7], "width": avih[8], "height": avih[9], "type": kind,
            "handler": handler, "bmi": bmi, "palette": palette,
            "pictures": [data[a:a + s] for a, s in found.get(b"00dc", [])],
            "index": len(found[b"idx1"]) and found[b"idx1"][0][1] // 16}


def decode_rle8(data, width, height):
    """A complete RLE8 picture -> rows of palette indexes, top-down."""
    rows, row, i = [], [], 0
    while i < len(data):
        count, value = data[i], data[i + 1]
        i += 2
        if count:
            row += [value] * count
        elif value == 0 or value == 1:
            assert len(row) == width, "row of %d pixels" % len(row)
            rows.append(row)
            row = []
            if value == 1:
                break
        elif value == 2:
            raise AssertionError("delta: the frame is not a complete picture")
        else:
            row += list(data[i:i + value])
            i += value + (value & 1)
    assert len(rows) == height, "%d rows" % len(rows)
    return rows[::-1]


class Icons(unittest.TestCase):
    def test_each_icon_has_16_32_48_pixel_images_whose_masks_follow_alpha(self):
        for name in ICONS:
            images = icon_images(name)
            self.assertEqual(sorted(images), [16, 32, 48], name)
            for size, (colour, mask) in images.items():
                alphas = [px[3] for row in colour for px in row]
                self.assertTrue(any(0 < a < 255 for a in alphas), "%s/%d: no soft edges" % (name, size))
                for y in range(size):
                    for x in range(size):
                        a = colour[y][x][3]
                        if a == 0:
                            self.assertTrue(mask[y][x] and colour[y][x] == (0, 0, 0, 0), (name, size, x, y))
                        elif a == 255:
                            self.assertFalse(mask[y][x], (name, size, x, y))

    def test_overlays_are_badges_in_the_bottom_left_corner(self):
        for name in OVERLAYS:
            for size, (colour, _) in icon_images(name).items():
                covered = [(x, y) for y in range(size) for x in range(size) if colour[y][x][3]]
                self.assertTrue(all(x < size * 0.7 and y >= size * 0.3 for x, y in covered), name)
                self.assertTrue(size * size / 6 < len(covered) < size * size / 2, (name, size))
                self.assertEqual(colour[size - 1 - size // 4][size // 4][3], 255, (name, size))

    def test_the_document_icon_covers_most_of_its_square(self):
        for size, (colour, _) in icon_images("document.ico").items():
            opaque = sum(px[3] == 255 for row in colour for px in row)
            self.assertGreater(opaque, size * size / 2, size)


class Clips(unittest.TestCase):
    def test_clips_are_indexed_silent_loops_of_8_bit_frames_that_fit_their_dialogs(self):
        for name, (room_w, room_h) in CLIPS.items():
            c = clip(name)
            _, width, height, _, bits, compression, image_size = c["bmi"][:7]
            self.assertEqual((c["streams"], c["type"], c["handler"]), (1, b"vids", b"RLE "), name)
            self.assertEqual((bits, compression, width, height), (8, 1, c["width"], c["height"]), name)
            self.assertTrue(8 <= c["frames"] <= 60 and 40000 <= c["us"] <= 200000, name)
            self.assertTrue(c["flags"] & 0x10 and c["index"] == c["frames"] == len(c["pictures"]), name)
            self.assertTrue(all(len(p) <= min(c["buffer"], image_size) for p in c["pictures"]), name)
            self.assertTrue(width <= room_w and height <= room_h, name)
            if room_h == 40:  # the modern band, which its clip spans
                self.assertGreaterEqual(width, room_w - 10, name + " does not span its band")

    def test_frames_are_complete_pictures_that_move(self):
        for name in CLIPS:
            c = clip(name)
            frames = [decode_rle8(p, c["width"], c["height"]) for p in c["pictures"]]
            self.assertTrue(all(i < len(c["palette"]) for f in frames for r in f for i in r), name)
            distinct = {tuple(map(tuple, f)) for f in frames}
            self.assertGreaterEqual(len(distinct), len(frames) * 2 // 3, name + " hardly moves")

    def test_small_clips_keep_their_background_colour_for_the_background_only(self):
        # ACS_TRANSPARENT replaces the colour of the first frame's top-left pixel.
        for name in [n for n, room in CLIPS.items() if room[0] < 360]:
            c = clip(name)
            frames = [decode_rle8(p, c["width"], c["height"]) for p in c["pictures"]]
            background = c["palette"][frames[0][0][0]]
            for frame in frames:
                matte = sum(c["palette"][i] == background for row in frame for i in row)
                self.assertTrue(c["width"] * c["height"] / 3 < matte < c["width"] * c["height"] * 0.95, name)


if __name__ == "__main__":
    unittest.main()
