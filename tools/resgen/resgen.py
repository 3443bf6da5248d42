#!/usr/bin/env python3
"""Makes the pictures of cfxview.dll at build time: its icons (.ico) and the
animation clips of its progress and wait dialogs (.avi). Standard library only.

    resgen.py --list                 names of everything it makes, one a line
    resgen.py OUTDIR NAME...         makes the named files in OUTDIR
    resgen.py --preview OUTDIR       PNG sheets of every icon and clip, to look at
"""

import os
import struct
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import avifile  # noqa: E402
import clips  # noqa: E402
import icofile  # noqa: E402
import icons  # noqa: E402


def make(outdir, name):
    path = os.path.join(outdir, name)
    if name in icons.ICONS:
        icofile.write(path, [icons.render(icons.ICONS[name], size) for size in icons.SIZES])
    elif name in clips.CLIPS:
        clip = clips.CLIPS[name]
        avifile.write(path, clip.frames(), clip.fps, clip.transparent)
    else:
        raise SystemExit("resgen: nothing called " + name)


def _png(path, rows):
    """rows: top-down (r, g, b, a) tuples."""
    height, width = len(rows), len(rows[0])
    raw = b"".join(b"\0" + bytes(v for px in row for v in px) for row in rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    with open(path, "wb") as out:
        out.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
                  + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def _sheet(images, columns, zoom, backdrop):
    """Images side by side (and in rows of columns), each pixel zoom times, over backdrop."""
    cell_w = max(len(i[0]) for i in images) * zoom + 8
    cell_h = max(len(i) for i in images) * zoom + 8
    rows_needed = (len(images) + columns - 1) // columns
    sheet = [[backdrop] * (cell_w * min(columns, len(images))) for _ in range(cell_h * rows_needed)]
    for n, image in enumerate(images):
        ox, oy = (n % columns) * cell_w + 4, (n // columns) * cell_h + 4
        for y, row in enumerate(image):
            for x, (r, g, b, a) in enumerate(row):
                t = a / 255.0
                c = tuple(int(backdrop[i] * (1 - t) + (r, g, b)[i] * t) for i in range(3)) + (255,)
                for dy in range(zoom):
                    line = sheet[oy + y * zoom + dy]
                    for dx in range(zoom):
                        line[ox + x * zoom + dx] = c
    return sheet


def preview(outdir):
    for name, draw in icons.ICONS.items():
        images = [icons.render(draw, size) for size in icons.SIZES]
        for backdrop in ((255, 255, 255, 255), (58, 110, 165, 255)):
            tag = "light" if backdrop[0] == 255 else "dark"
            _png(os.path.join(outdir, name + "." + tag + ".png"), _sheet(images, 3, 4, backdrop))
    for name, clip in clips.CLIPS.items():
        frames = [[[c + (255,) for c in row] for row in frame] for frame in clip.frames()]
        _png(os.path.join(outdir, name + ".png"), _sheet(frames, 4 if len(frames[0][0]) < 200 else 2,
                                                         2, (236, 233, 216, 255)))


def main(argv):
    if argv[1:] == ["--list"]:
        print("\n".join(list(icons.ICONS) + list(clips.CLIPS)))
    elif len(argv) == 3 and argv[1] == "--preview":
        os.makedirs(argv[2], exist_ok=True)
        preview(argv[2])
    elif len(argv) >= 3:
        os.makedirs(argv[1], exist_ok=True)
        for name in argv[2:]:
            make(argv[1], name)
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
