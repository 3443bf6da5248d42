"""The things the library's pictures are made of (folders, pages, a recycle bin,
a magnifier, a key, a snowflake, storage blocks, badges), each drawn through a
View in local units, so that icons and animation frames share one look."""

import math

from raster import (Box, Capsule, Circle, Polygon, linear, mix, polyline, radial, rgb)


def _palette(*colours):
    return tuple(rgb(colour) for colour in colours)


# One family of colours a line.
INK, WHITE, GREEN = _palette("#1d2b3a", "#ffffff", "#2e9d46")
FOLDER_EDGE, FOLDER_BACK, FOLDER_TOP, FOLDER_BOTTOM = _palette(
    "#9a6412", "#dc9a22", "#ffe38f", "#f3b43c")
PAGE_EDGE, PAGE_TOP, PAGE_BOTTOM, PAGE_FOLD, PAGE_TEXT = _palette(
    "#56677a", "#ffffff", "#dfe7f0", "#c8d5e3", "#8ea5be")
STEEL_EDGE, STEEL_TOP, STEEL_BOTTOM = _palette("#15345f", "#5597e6", "#1f4f93")
GOLD_EDGE, GOLD_LIGHT, GOLD_DARK = _palette("#7a4f00", "#ffe58a", "#eda20c")
ICE_EDGE, ICE_LIGHT, ICE_DARK = _palette("#0d3c73", "#bfe6ff", "#1f7fd6")
RED_LIGHT, RED_DARK = _palette("#f0625c", "#b71c1c")
BLOCK_USED, BLOCK_USED_EDGE = _palette("#2f80e0", "#174f96")
BLOCK_LOOSE, BLOCK_LOOSE_EDGE = _palette("#ef5a3c", "#9c2a14")
BLOCK_FREE, BLOCK_FREE_EDGE = _palette("#f4f6f8", "#9aa8b6")
BLOCK_SEEN, BLOCK_SEEN_EDGE = _palette("#8fd19e", "#2f7d43")


def folder_back(view):
    """A folder 32 x 26 with its top-left corner at the origin, without its front:
    its back with the papers in it. What goes in is drawn between the two."""
    back = Box(0, 2, 32, 26, 2) | Box(0, 0, 13, 6, 2)
    view.framed(back, FOLDER_BACK, FOLDER_EDGE, 1.2)
    view.framed(Box(3, 5, 29, 22, 0.5), PAGE_TOP, PAGE_EDGE, 0.8)


def folder_front(view, open_front=0.0):
    """The folder's front panel, which hides what goes in; open_front 0..1 tilts
    it down, as if something goes in or comes out."""
    lift = 4.0 * open_front
    front = Polygon([(0 - lift * 0.4, 9 + lift), (32 + lift * 0.4, 9 + lift), (32, 26), (0, 26)])
    view.framed(front, linear(0, 9, FOLDER_TOP, 0, 26, FOLDER_BOTTOM), FOLDER_EDGE, 1.2)
    view.fill(Capsule(2.5, 11.5 + lift, 29.5, 11.5 + lift, 1.0), rgb("#fff3c4"))


def page(view):
    """A page 20 x 26 with a folded top-right corner, top-left corner at the origin."""
    outline = Polygon([(0, 0), (14, 0), (20, 6), (20, 26), (0, 26)])
    view.framed(outline, linear(0, 0, PAGE_TOP, 20, 26, PAGE_BOTTOM), PAGE_EDGE, 1.2)
    view.framed(Polygon([(14, 0), (14, 6), (20, 6)]), PAGE_FOLD, PAGE_EDGE, 1.0)
    for y, right in ((10, 16), (14, 15), (18, 16), (22, 12)):
        view.fill(Capsule(4, y, right, y, 1.6), PAGE_TEXT)


def recycle_bin(view, lid_open=0.0):
    """A bin 24 x 28, top-left corner at the origin; lid_open 0..1 swings the lid up."""
    recycle_bin_front(view)
    lid = Box(0, 4, 24, 8, 1.2) | Box(8.5, 1.5, 15.5, 5, 1)
    lid = lid.rotated(-24.0 * lid_open, 24.0, 8.0).moved(0, -2.5 * lid_open)
    view.framed(lid, linear(0, 0, rgb("#dfe8f0"), 24, 0, rgb("#8aa0b5")), rgb("#445a70"), 1.2)


def recycle_bin_front(view):
    """The bin without its lid: drawn again over what falls in, it hides it."""
    body = Polygon([(2, 8), (22, 8), (20, 28), (4, 28)])
    view.framed(body, linear(0, 0, rgb("#c9d6e2"), 24, 0, rgb("#7f95aa")), rgb("#445a70"), 1.2)
    for x in (8, 12, 16):
        view.fill(Capsule(x, 11.5, x - (x - 12) * 0.15, 25, 1.3), rgb("#5d748b"))


def magnifier(view, radius=8.0, edge=2.4):
    """A magnifying glass with its lens centred on the origin, handle to the lower right."""
    handle = Capsule(radius * 0.78, radius * 0.78, radius * 1.75, radius * 1.75, radius * 0.5)
    view.framed(handle, linear(0, 0, rgb("#6d4c41"), radius * 2, radius * 2, rgb("#3e2723")),
                rgb("#2b1a14"), 0.9)
    view.fill(Circle(0, 0, radius), rgb("#d6f1ff", 120))
    view.fill(Capsule(-radius * 0.45, -radius * 0.2, -radius * 0.15, -radius * 0.5, radius * 0.22),
              rgb("#ffffff", 200))
    ring = Circle(0, 0, radius).outline(edge)
    view.fill(ring.grown(0.5), INK)
    view.fill(ring.grown(-0.3), linear(-radius, -radius, rgb("#b0bec5"), radius, radius,
                                       rgb("#546e7a")))


def check_mark(view, width=2.6):
    """A green tick with a white halo, 12 x 10, top-left corner at the origin."""
    points = [(1, 5.5), (4.5, 9), (11, 1.5)]
    view.fill(polyline(points, width + 2.0), WHITE)
    view.fill(polyline(points, width), GREEN)


def key(view, length=40.0, edge=1.2, shine=True):
    """A key along the x axis: the bow centred on the origin, the bit towards +x."""
    k = length / 40.0
    bow = Circle(0, 0, 8 * k) - Circle(-1.5 * k, 0, 3.0 * k)
    shaft = Box(6 * k, -2.4 * k, 38 * k, 2.4 * k, 1.0 * k)
    teeth = Box(29 * k, 1 * k, 32.5 * k, 7.5 * k, 0.6 * k) | Box(34.5 * k, 1 * k, 38 * k, 6 * k, 0.6 * k)
    body = bow | shaft | teeth
    view.framed(body, linear(0, -8 * k, GOLD_LIGHT, 0, 8 * k, GOLD_DARK), GOLD_EDGE, edge)
    if shine:
        view.fill(Capsule(9 * k, -0.9 * k, 35 * k, -0.9 * k, 0.9 * k), rgb("#fff4c0", 170))


def snowflake(view, radius, width, branches=True, paint=WHITE):
    """Six arms about the origin."""
    shape = None
    for arm in range(6):
        a = math.radians(90 + 60 * arm)
        dx, dy = math.cos(a), -math.sin(a)
        piece = Capsule(0, 0, dx * radius, dy * radius, width)
        if branches:
            bx, by = dx * radius * 0.55, dy * radius * 0.55
            for side in (-1, 1):
                b = a + side * math.radians(45)
                piece = piece | Capsule(bx, by, bx + math.cos(b) * radius * 0.34,
                                        by - math.sin(b) * radius * 0.34, width * 0.85)
        shape = piece if shape is None else shape | piece
    view.fill(shape, paint)
    return shape


def block(view, x, y, size, fill, edge, frame=None):
    """One storage block: a small rounded square with its top-left corner at (x, y);
    frame is the width of its edge (a tenth of its size unless given)."""
    cell = Box(x, y, x + size, y + size, size * 0.18)
    view.framed(cell, linear(x, y, mix(fill, WHITE, 0.35), x, y + size, fill), edge,
                frame or max(0.8, size * 0.1))


def badge(view, radius, px, fill_light, fill_dark, ring=True):
    """The round badge of the overlays, centred on the origin: a dark rim one pixel
    (px local units) wide, a white ring when there is room, the coloured face.
    Returns the radius of the face."""
    view.fill(Circle(0, 0, radius), rgb("#1d2b3a", 235))
    face = radius - px
    if ring:
        view.fill(Circle(0, 0, face), WHITE)
        face -= 1.2 * px
    view.fill(Circle(0, 0, face), radial(-face * 0.35, -face * 0.45, face * 1.6,
                                         fill_light, fill_dark))
    return face
