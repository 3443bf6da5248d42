"""The library's icons. Each is drawn once on a 48-unit grid and rendered at
16, 32 and 48 pixels; px is the size of one pixel in grid units, for edges that
must stay one pixel wide and for details that only the larger sizes show.

Overlay icons (frozen, inaccessible, key) are drawn by the shell over a file's
own icon at the same size, so each is a badge in the bottom-left corner and
transparent everywhere else."""

import math

import objects
from raster import Box, Capsule, Circle, Polygon, View, linear, rgb

SIZES = (16, 32, 48)


def document(canvas, px):
    """A storage file: a page with a steel safe door in front of it."""
    view = View(canvas)
    sheet = Polygon([(7, 2), (29, 2), (40, 13), (40, 46), (7, 46)])
    view.framed(sheet, linear(7, 2, objects.PAGE_TOP, 40, 46, objects.PAGE_BOTTOM),
                objects.PAGE_EDGE, px)
    view.framed(Polygon([(29, 2), (29, 13), (40, 13)]), objects.PAGE_FOLD, objects.PAGE_EDGE, px)
    if px < 2:
        for y, right in ((9, 24), (14, 33), (19, 30)):
            view.fill(Capsule(12, y, right, y, 1.5 * px), objects.PAGE_TEXT)
    safe = Box(17, 21, 46, 46, 3)
    view.framed(safe, linear(17, 21, objects.STEEL_TOP, 46, 46, objects.STEEL_BOTTOM),
                objects.STEEL_EDGE, px)
    if px < 2:
        view.fill(Box(20, 24, 43, 43, 2).outline(px), rgb("#8fbcf2", 200))
        for y in (27, 37):
            view.fill(Box(16, y, 19.5, y + 4, 1), objects.STEEL_EDGE)
    dial = Circle(31.5, 33.5, 6.5 if px < 2 else 6.0)
    view.framed(dial, linear(26, 28, rgb("#ffffff"), 37, 39, rgb("#b9c9da")),
                objects.STEEL_EDGE, px)
    if px < 2:
        for angle in range(0, 360, 45):
            a = math.radians(angle)
            view.fill(Capsule(31.5 + math.cos(a) * 3.0, 33.5 + math.sin(a) * 3.0,
                              31.5 + math.cos(a) * 4.6, 33.5 + math.sin(a) * 4.6, 0.9 * px),
                      objects.STEEL_EDGE)
        view.fill(Circle(31.5, 33.5, 1.6), objects.STEEL_EDGE)
    else:
        view.fill(Circle(31.5, 33.5, 1.2 * px), objects.STEEL_EDGE)


def _badge_view(canvas, px):
    """The overlays' badge: its radius in pixels suits each size (a badge of the
    same proportion would be unreadable at 16 pixels)."""
    pixels = {16: 4.9, 32: 7.7, 48: 10.8}[round(48 / px)]
    radius = pixels * px
    margin = 0.5 * px
    return View(canvas, radius + margin, 48 - radius - margin), radius


def frozen(canvas, px):
    """Overlay: the storage is frozen."""
    view, radius = _badge_view(canvas, px)
    face = objects.badge(view, radius, px, rgb("#a8dcff"), rgb("#1a6fc7"), ring=px < 3)
    objects.snowflake(view, face * 0.8, 1.15 * px, branches=px < 2)


def inaccessible(canvas, px):
    """Overlay: storages cannot be reached."""
    view, radius = _badge_view(canvas, px)
    face = objects.badge(view, radius, px, objects.RED_LIGHT, objects.RED_DARK, ring=px < 3)
    bar = face * 0.62
    view.fill(Box(-bar, -max(face * 0.2, 0.75 * px), bar, max(face * 0.2, 0.75 * px), 0.5 * px),
              objects.WHITE)


def key_attached(canvas, px):
    """Overlay: a key is attached to the storage."""
    view, radius = _badge_view(canvas, px)
    face = objects.badge(view, radius, px, rgb("#7fd88f"), rgb("#1b7a36"), ring=px < 3)
    # A short, thick key across the face, bow at the lower left, bit at the upper right.
    glyph = View(canvas, view.x, view.y, 1.0, -45)
    bow = Circle(-face * 0.42, 0, face * 0.36)
    if px < 1.5:
        bow = bow - Circle(-face * 0.46, 0, face * 0.12)
    thickness = max(face * 0.2, 0.9 * px)
    body = (bow | Box(-face * 0.2, -thickness, face * 0.8, thickness, thickness * 0.4)
            | Box(face * 0.42, 0, face * 0.62, face * 0.42, thickness * 0.3)
            | Box(face * 0.68, 0, face * 0.82, face * 0.34, thickness * 0.3))
    glyph.fill(body.grown(0.5 * px), objects.GOLD_EDGE)
    glyph.fill(body.grown(-0.5 * px), linear(0, -face * 0.4, objects.GOLD_LIGHT, 0, face * 0.4,
                                             objects.GOLD_DARK))


def keys(canvas, px):
    """Property page, key management: a certificate with a key in front of it."""
    view = View(canvas)
    if px < 3:
        card = Box(3, 4, 37, 30, 2)
        view.framed(card, linear(3, 4, rgb("#fffaf0"), 37, 30, rgb("#f1e3b8")),
                    rgb("#8d7a4a"), px)
        for y, right in ((10, 31), (15, 27), (20, 22)):
            view.fill(Capsule(8, y, right, y, 1.6 * px if px > 1 else 1.5), rgb("#a59469"))
        view.fill(Polygon([(26, 22), (29, 33), (31, 29), (34, 33), (33, 22)]), rgb("#b3261e"))
        view.framed(Circle(30, 21, 5), linear(25, 16, rgb("#ff8a7a"), 35, 26, rgb("#c62828")),
                    rgb("#7f1d17"), px)
        objects.key(View(canvas, 10, 40, 0.95, -38), 40, edge=px, shine=px < 2)
    else:
        glyph = View(canvas, 11, 37, 1.0, -40)
        body = (Circle(0, 0, 9.5) - Circle(-2, 0, 3.2) | Box(6, -3.4, 42, 3.4, 1.5)
                | Box(30, 0, 35, 10, 1) | Box(37, 0, 42, 8, 1))
        glyph.framed(body, linear(0, -9, objects.GOLD_LIGHT, 0, 9, objects.GOLD_DARK),
                     objects.GOLD_EDGE, px)


def defragment(canvas, px):
    """Property page, defragmentation: storage blocks, most in order, some astray."""
    view = View(canvas)
    panel = Box(2, 6, 46, 42, 3)
    view.framed(panel, linear(0, 6, rgb("#ffffff"), 0, 42, rgb("#dfe5ea")), rgb("#546e7a"), px)
    if px < 3:
        layout = ["UUUU", "UULF", "FLFL"]
        size, gap, x0, y0 = 8.6, 1.6, 4.9, 9.3
    else:
        layout = ["UUL", "LFU"]
        size, gap, x0, y0 = 11.6, 2.6, 4.6, 9.3
    colours = {"U": (objects.BLOCK_USED, objects.BLOCK_USED_EDGE),
               "L": (objects.BLOCK_LOOSE, objects.BLOCK_LOOSE_EDGE),
               "F": (objects.BLOCK_FREE, objects.BLOCK_FREE_EDGE)}
    for row, line in enumerate(layout):
        for column, kind in enumerate(line):
            fill, edge = colours[kind]
            objects.block(view, x0 + column * (size + gap), y0 + row * (size + gap), size, fill,
                          edge, px)


def freeze(canvas, px):
    """Property page, freezing: an ice crystal."""
    view = View(canvas, 24, 24)
    paint = linear(-20, -20, objects.ICE_LIGHT, 20, 20, objects.ICE_DARK)
    width = 4.2 if px < 3 else 6.0
    branches = px < 3
    objects.snowflake(view, 21.5, width + 2 * px, branches, paint=objects.ICE_EDGE)
    objects.snowflake(view, 21.5 - px, width, branches, paint=paint)
    view.fill(Circle(0, 0, 4.2), objects.ICE_EDGE)
    view.fill(Circle(0, 0, 4.2 - px), rgb("#e3f4ff"))


# File name -> drawing, for every icon group of the library.
ICONS = {
    "document.ico": document,
    "frozen.ico": frozen,
    "inaccessible.ico": inaccessible,
    "key.ico": key_attached,
    "keys.ico": keys,
    "defragment.ico": defragment,
    "freeze.ico": freeze,
}


def render(draw, size):
    from raster import Canvas

    canvas = Canvas(size, size, size / 48.0)
    draw(canvas, 48.0 / size)
    return canvas.pixels()
