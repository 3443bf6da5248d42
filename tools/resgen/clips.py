"""The animation clips of the progress and wait dialogs. Each clip is a loop:
frame n shows the moment t = n / frames of one cycle.

Large clips belong to the progress dialog with the wide band at its top: a dark
blue band whose left part carries the dialog's header text (drawn over the clip
in light cyan from 30 pixels in), so the picture keeps to the band's right end.
Small clips belong to the classic progress dialog and to the wait dialog; they
sit on a background colour that the animation control replaces with the
dialog's own (ACS_TRANSPARENT), so that colour is the clip's top-left pixel."""

import math

import objects
from raster import Canvas, View, mix, rgb

LARGE = (362, 40)  # the band: 207 x 22 dialog units of 9-point Segoe UI
SMALL = (288, 48)  # fits 230 x 30 dialog units of 8-point MS Shell Dlg
WAIT = (80, 72)  # centred in 54 x 46 dialog units of 8-point MS Shell Dlg

BAND_TOP, BAND_BOTTOM = rgb("#1a5491"), rgb("#0b2c55")
BACKGROUND = rgb("#ece9d8")  # replaced by the dialog's colour; close to it anyway


def ease(t):
    """Slow at both ends."""
    t = min(max(t, 0.0), 1.0)
    return t * t * (3 - 2 * t)


def arc(a, b, lift, t):
    """Point t (0..1) of a parabolic flight from a to b, rising lift above the line."""
    return (a[0] + (b[0] - a[0]) * t,
            a[1] + (b[1] - a[1]) * t - lift * 4 * t * (1 - t))


class Clip:
    def __init__(self, size, count, fps, draw, transparent):
        self.width, self.height = size
        self.count, self.fps, self.draw = count, fps, draw
        self.transparent = BACKGROUND[:3] if transparent else None

    def frames(self):
        result = []
        for n in range(self.count):
            canvas = Canvas(self.width, self.height)
            if self.transparent:
                canvas.fill_rows(lambda y: BACKGROUND)
            else:
                canvas.fill_rows(self._band_row)
            self.draw(canvas, n / self.count)
            result.append([[px[:3] for px in row] for row in canvas.pixels()])
        return result

    def _band_row(self, y):
        if y == 0:
            return rgb("#3b78b8")
        if y == self.height - 1:
            return rgb("#061a33")
        return mix(BAND_TOP, BAND_BOTTOM, y / (self.height - 1))


# --- Transfers: pages fly from one folder into another (or into the bin) ---

def _flight(canvas, source, target, page_k, lift, progress):
    """One page on its way, turning a little as it flies; progress 0..1."""
    if 0.0 <= progress <= 1.0:
        x, y = arc(source, target, lift, ease(progress))
        objects.page(View(canvas, x, y, page_k, -14 + 28 * ease(progress)))


def _opening(progress, start, end):
    """How far a folder front is open while a page leaves (start) or enters (end)."""
    return max(0.0, 1.0 - abs(progress - start) / 0.2, 1.0 - abs(progress - end) / 0.2)


def _mouth(folder, folder_k):
    """Where a page stands when it is inside the folder, in front of its papers."""
    return (folder[0] + 7 * folder_k, folder[1] + 5 * folder_k)


def transfer(layout, pages):
    """pages: how many pages are in the air at once. They follow each other at
    even distances, so the loop lasts the time between two pages."""

    def draw(canvas, t):
        source, target, folder_k, page_k, lift = layout
        flights = [((t + i) / pages) * 1.2 - 0.1 for i in range(pages)]
        leaving = max(_opening(p, 0.0, 9) for p in flights)
        arriving = max(_opening(p, 9, 1.0) for p in flights)
        objects.folder_back(View(canvas, source[0], source[1], folder_k))
        objects.folder_back(View(canvas, target[0], target[1], folder_k))
        for p in sorted(flights):
            _flight(canvas, _mouth(source, folder_k), _mouth(target, folder_k), page_k, lift, p)
        objects.folder_front(View(canvas, source[0], source[1], folder_k), leaving)
        objects.folder_front(View(canvas, target[0], target[1], folder_k), arriving)

    return draw


def delete(layout):
    def draw(canvas, t):
        source, bin_at, folder_k, page_k, lift = layout
        p = t * 1.15 - 0.1
        objects.folder_back(View(canvas, source[0], source[1], folder_k))
        lid = max(0.0, min(1.0, (p - 0.45) / 0.2, (1.0 - p) / 0.1))
        objects.recycle_bin(View(canvas, bin_at[0], bin_at[1], folder_k), lid)
        # Over the bin first, then straight down into it.
        above = (bin_at[0] + 12 * folder_k - 10 * page_k, bin_at[1] - 10 * page_k)
        if p < 0.8:
            _flight(canvas, _mouth(source, folder_k), above, page_k, lift, p / 0.8)
        elif p <= 1.0:
            drop = ease((p - 0.8) / 0.2) * 16 * folder_k
            objects.page(View(canvas, above[0], above[1] + drop, page_k, 14))
        objects.folder_front(View(canvas, source[0], source[1], folder_k), _opening(p, 0.0, 9))
        # What falls in sinks behind the bin's front.
        objects.recycle_bin_front(View(canvas, bin_at[0], bin_at[1], folder_k))

    return draw


# --- Checking: a magnifier looks over the pages one by one and ticks each off ---

def check(layout):
    """layout: (left, top, page scale, page spacing, pages, lens radius, tick scale)."""

    def draw(canvas, t):
        left, top, page_k, spacing, count, lens, tick_k = layout
        window = 0.85 / count
        for i in range(count):
            objects.page(View(canvas, left + i * spacing, top, page_k))
        # The lens circles over a page while it looks, then glides to the next one.
        i = min(int(t / window), count - 1)
        u = min((t - i * window) / window, 1.0)
        centre_x = left + i * spacing + 10 * page_k
        centre_y = top + 14 * page_k
        if u < 0.7:
            turn = 2 * math.pi * min(u / 0.7, 1.0)
            x = centre_x - math.sin(turn) * 4 * page_k
            y = centre_y - math.cos(turn) * 4 * page_k + 4 * page_k
        else:
            # After the last page the lens only steps aside, so its tick shows.
            x = centre_x + ease((u - 0.7) / 0.3) * spacing * (0.5 if i == count - 1 else 1.0)
            y = centre_y
        for done in range(count):
            if t >= (done + 0.7) * window:
                objects.check_mark(View(canvas, left + done * spacing + 11 * page_k,
                                        top + 18 * page_k, tick_k))
        objects.magnifier(View(canvas, x, y, 1.0), lens, max(1.6, lens * 0.28))

    return draw


# --- The wait dialog: analysing and defragmenting storage blocks ---

# A 4 x 4 grid, read row by row: U a block in place, L a block out of place
# (a fragment), F free space.
STORAGE = "UUFL" "FULF" "LFFL" "FLFF"
GRID, CELL, GAP = 4, 12, 3


def _cell(canvas, index, kind, left, top):
    colours = {"U": (objects.BLOCK_USED, objects.BLOCK_USED_EDGE),
               "L": (objects.BLOCK_LOOSE, objects.BLOCK_LOOSE_EDGE),
               "F": (objects.BLOCK_FREE, objects.BLOCK_FREE_EDGE),
               "?": (rgb("#c3ccd5"), rgb("#8595a5"))}
    fill, edge = colours[kind]
    x = left + (index % GRID) * (CELL + GAP)
    y = top + (index // GRID) * (CELL + GAP)
    objects.block(View(canvas), x, y, CELL, fill, edge)


def _grid_origin(canvas):
    # A little up and to the left: the magnifier's handle hangs down to the right.
    span = GRID * CELL + (GRID - 1) * GAP
    return (canvas.width - span) / 2 - 3, (canvas.height - span) / 2 - 3


def analyse(canvas, t):
    """The magnifier visits every block in turn; each one it has seen shows its state."""
    left, top = _grid_origin(canvas)
    position = t * (len(STORAGE) + 3) - 1
    for index, kind in enumerate(STORAGE):
        _cell(canvas, index, kind if index < position else "?", left, top)
    # It rests over each block, then glides to the next one (down a row after the last).
    spot = min(max(position, 0.0), len(STORAGE) - 1.0)
    here = int(spot)
    there = min(here + 1, len(STORAGE) - 1)
    glide = ease((spot - here - 0.5) * 2)

    def centre(index):
        return (left + (index % GRID) * (CELL + GAP) + CELL / 2,
                top + (index // GRID) * (CELL + GAP) + CELL / 2)

    (x0, y0), (x1, y1) = centre(here), centre(there)
    cx, cy = x0 + (x1 - x0) * glide, y0 + (y1 - y0) * glide
    objects.magnifier(View(canvas, cx, cy, 1.0), 7.0, 2.0)


def _defragment_moves():
    """The last fragment goes to the first free place, until none is behind one."""
    state, moves = list(STORAGE), []
    while True:
        free = state.index("F")
        last = max(i for i, kind in enumerate(state) if kind == "L")
        if last < free:
            return moves
        moves.append((last, free))
        state[free], state[last] = "U", "F"


def defragment(canvas, t):
    """Fragments fly one after the other into the free places at the front; then
    the blocks left in front are in order too."""
    left, top = _grid_origin(canvas)
    moves = _defragment_moves()
    step = 0.75 / len(moves)
    state, moving = list(STORAGE), None
    for n, (source, target) in enumerate(moves):
        begin = 0.05 + n * step
        if t >= begin + step:
            state[target], state[source] = "U", "F"
        elif t >= begin:
            moving = (source, target, ease((t - begin) / step))
            state[source] = "F"
    settled = t >= 0.05 + len(moves) * step
    for index, kind in enumerate(state):
        _cell(canvas, index, "U" if settled and kind == "L" else kind, left, top)
    if moving:
        source, target, p = moving
        sx, sy = (source % GRID) * (CELL + GAP), (source // GRID) * (CELL + GAP)
        tx, ty = (target % GRID) * (CELL + GAP), (target // GRID) * (CELL + GAP)
        x, y = sx + (tx - sx) * p, sy + (ty - sy) * p - 8 * math.sin(math.pi * p)
        arrived = p > 0.85
        objects.block(View(canvas), left + x, top + y, CELL,
                      objects.BLOCK_USED if arrived else objects.BLOCK_LOOSE,
                      objects.BLOCK_USED_EDGE if arrived else objects.BLOCK_LOOSE_EDGE)


# Layouts: (source folder, target, folder scale, page scale, flight height).
_LARGE_TRANSFER = ((226, 11), (320, 11), 1.0, 0.55, 17)
_SMALL_TRANSFER = ((10, 15), (240, 15), 1.2, 0.72, 18)
_LARGE_DELETE = ((226, 11), (324, 9), 1.0, 0.55, 17)
_SMALL_DELETE = ((10, 15), (246, 14), 1.2, 0.72, 18)

# File name -> clip, for every AVI resource of the library.
CLIPS = {
    "copy_large.avi": Clip(LARGE, 20, 12, transfer(_LARGE_TRANSFER, 1), False),
    "check_large.avi": Clip(LARGE, 30, 12, check((236, 6, 0.95, 36, 3, 6.5, 0.85)), False),
    "copy_many_large.avi": Clip(LARGE, 8, 12, transfer(_LARGE_TRANSFER, 3), False),
    "delete_large.avi": Clip(LARGE, 20, 12, delete(_LARGE_DELETE), False),
    "copy_small.avi": Clip(SMALL, 20, 12, transfer(_SMALL_TRANSFER, 1), True),
    "copy_many_small.avi": Clip(SMALL, 8, 12, transfer(_SMALL_TRANSFER, 3), True),
    "check_small.avi": Clip(SMALL, 30, 12, check((40, 8, 1.15, 60, 4, 8.0, 1.0)), True),
    "delete_small.avi": Clip(SMALL, 20, 12, delete(_SMALL_DELETE), True),
    "analyse.avi": Clip(WAIT, 24, 10, analyse, True),
    "defragment.avi": Clip(WAIT, 30, 10, defragment, True),
}
