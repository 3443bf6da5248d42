"""Anti-aliased 2-D drawing for the library's generated icons and animation frames.

Shapes are signed distance functions (negative inside, in drawing units). A
canvas maps drawing units to pixels with a uniform scale, so one drawing made on
a 48-unit grid renders at 16, 32 and 48 pixels; a pixel's coverage is how far its
centre lies inside the edge, clamped to one pixel, which keeps edges one pixel
soft at every size.
"""

import math


def rgb(text, alpha=255):
    """'#rrggbb' -> (r, g, b, a) with components 0..255."""
    text = text.lstrip("#")
    return (int(text[0:2], 16), int(text[2:4], 16), int(text[4:6], 16), alpha)


def mix(a, b, t):
    """Colour between a (t = 0) and b (t = 1)."""
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(4))


def linear(x0, y0, c0, x1, y1, c1):
    """A paint that runs from c0 at (x0, y0) to c1 at (x1, y1), in drawing units."""
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy or 1.0

    def paint(x, y):
        t = ((x - x0) * dx + (y - y0) * dy) / length2
        return mix(c0, c1, 0.0 if t < 0 else 1.0 if t > 1 else t)

    return paint


def radial(cx, cy, r, c0, c1):
    """A paint that runs from c0 at the centre to c1 at radius r."""

    def paint(x, y):
        t = math.hypot(x - cx, y - cy) / r
        return mix(c0, c1, 1.0 if t > 1 else t)

    return paint


class Shape:
    def sd(self, x, y):
        raise NotImplementedError

    def bounds(self):
        raise NotImplementedError

    def __or__(self, other):
        return Union(self, other)

    def __and__(self, other):
        return Intersection(self, other)

    def __sub__(self, other):
        return Difference(self, other)

    def grown(self, d):
        """The shape with its edge moved outwards by d (inwards when negative)."""
        return Offset(self, d)

    def outline(self, width):
        """A band of the given width centred on the edge."""
        return Outline(self, width)

    def moved(self, dx, dy):
        return Transform(self, 0.0, 0.0, 0.0, dx, dy, 1.0)

    def rotated(self, degrees, cx, cy):
        return Transform(self, degrees, cx, cy, 0.0, 0.0, 1.0)

    def scaled(self, factor, cx, cy):
        return Transform(self, 0.0, cx, cy, 0.0, 0.0, factor)


class Circle(Shape):
    def __init__(self, cx, cy, r):
        self.cx, self.cy, self.r = cx, cy, r

    def sd(self, x, y):
        return math.hypot(x - self.cx, y - self.cy) - self.r

    def bounds(self):
        return (self.cx - self.r, self.cy - self.r, self.cx + self.r, self.cy + self.r)


class Box(Shape):
    """Axis-aligned rectangle from (x0, y0) to (x1, y1) with rounded corners."""

    def __init__(self, x0, y0, x1, y1, radius=0.0):
        self.x0, self.y0, self.x1, self.y1 = x0, y0, x1, y1
        self.cx, self.cy = (x0 + x1) / 2, (y0 + y1) / 2
        self.hx, self.hy = (x1 - x0) / 2 - radius, (y1 - y0) / 2 - radius
        self.radius = radius

    def sd(self, x, y):
        qx = abs(x - self.cx) - self.hx
        qy = abs(y - self.cy) - self.hy
        outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
        return outside + min(max(qx, qy), 0.0) - self.radius

    def bounds(self):
        return (self.x0, self.y0, self.x1, self.y1)


class Capsule(Shape):
    """A line from (ax, ay) to (bx, by), width wide, with round ends."""

    def __init__(self, ax, ay, bx, by, width):
        self.ax, self.ay, self.bx, self.by = ax, ay, bx, by
        self.r = width / 2
        self.ex, self.ey = bx - ax, by - ay
        self.len2 = self.ex * self.ex + self.ey * self.ey or 1e-9

    def sd(self, x, y):
        wx, wy = x - self.ax, y - self.ay
        t = (wx * self.ex + wy * self.ey) / self.len2
        t = 0.0 if t < 0 else 1.0 if t > 1 else t
        return math.hypot(wx - self.ex * t, wy - self.ey * t) - self.r

    def bounds(self):
        r = self.r
        return (min(self.ax, self.bx) - r, min(self.ay, self.by) - r,
                max(self.ax, self.bx) + r, max(self.ay, self.by) + r)


def polyline(points, width):
    """Connected capsules through the points."""
    shape = None
    for a, b in zip(points, points[1:]):
        piece = Capsule(a[0], a[1], b[0], b[1], width)
        shape = piece if shape is None else shape | piece
    return shape


class Polygon(Shape):
    def __init__(self, points):
        self.points = [(float(x), float(y)) for x, y in points]

    def sd(self, x, y):
        pts = self.points
        vx, vy = pts[0]
        d = (x - vx) ** 2 + (y - vy) ** 2
        inside = False
        j = len(pts) - 1
        for i in range(len(pts)):
            ix, iy = pts[i]
            jx, jy = pts[j]
            ex, ey = jx - ix, jy - iy
            wx, wy = x - ix, y - iy
            length2 = ex * ex + ey * ey
            t = (wx * ex + wy * ey) / length2 if length2 else 0.0
            t = 0.0 if t < 0 else 1.0 if t > 1 else t
            bx, by = wx - ex * t, wy - ey * t
            d = min(d, bx * bx + by * by)
            if (iy > y) != (jy > y) and x < ix + (y - iy) * ex / ey:
                inside = not inside
            j = i
        return -math.sqrt(d) if inside else math.sqrt(d)

    def bounds(self):
        xs = [p[0] for p in self.points]
        ys = [p[1] for p in self.points]
        return (min(xs), min(ys), max(xs), max(ys))


class Union(Shape):
    def __init__(self, *shapes):
        self.shapes = shapes

    def sd(self, x, y):
        return min(s.sd(x, y) for s in self.shapes)

    def bounds(self):
        b = [s.bounds() for s in self.shapes]
        return (min(v[0] for v in b), min(v[1] for v in b),
                max(v[2] for v in b), max(v[3] for v in b))


class Intersection(Shape):
    def __init__(self, a, b):
        self.a, self.b = a, b

    def sd(self, x, y):
        return max(self.a.sd(x, y), self.b.sd(x, y))

    def bounds(self):
        a, b = self.a.bounds(), self.b.bounds()
        return (max(a[0], b[0]), max(a[1], b[1]), min(a[2], b[2]), min(a[3], b[3]))


class Difference(Shape):
    def __init__(self, a, b):
        self.a, self.b = a, b

    def sd(self, x, y):
        return max(self.a.sd(x, y), -self.b.sd(x, y))

    def bounds(self):
        return self.a.bounds()


class Offset(Shape):
    def __init__(self, shape, d):
        self.shape, self.d = shape, d

    def sd(self, x, y):
        return self.shape.sd(x, y) - self.d

    def bounds(self):
        x0, y0, x1, y1 = self.shape.bounds()
        d = max(self.d, 0.0)
        return (x0 - d, y0 - d, x1 + d, y1 + d)


class Outline(Shape):
    def __init__(self, shape, width):
        self.shape, self.half = shape, width / 2

    def sd(self, x, y):
        return abs(self.shape.sd(x, y)) - self.half

    def bounds(self):
        x0, y0, x1, y1 = self.shape.bounds()
        h = self.half
        return (x0 - h, y0 - h, x1 + h, y1 + h)


class Transform(Shape):
    """Scales by factor and rotates by degrees about (cx, cy), then moves by (dx, dy)."""

    def __init__(self, shape, degrees, cx, cy, dx, dy, factor):
        self.shape = shape
        self.cx, self.cy, self.dx, self.dy, self.k = cx, cy, dx, dy, factor
        a = math.radians(degrees)
        self.cos, self.sin = math.cos(a), math.sin(a)

    def sd(self, x, y):
        # Undo the move and the rotation, then the scale.
        px, py = x - self.dx - self.cx, y - self.dy - self.cy
        rx = px * self.cos + py * self.sin
        ry = -px * self.sin + py * self.cos
        return self.shape.sd(rx / self.k + self.cx, ry / self.k + self.cy) * self.k

    def bounds(self):
        x0, y0, x1, y1 = self.shape.bounds()
        xs, ys = [], []
        for x, y in ((x0, y0), (x1, y0), (x0, y1), (x1, y1)):
            px, py = (x - self.cx) * self.k, (y - self.cy) * self.k
            xs.append(px * self.cos - py * self.sin + self.cx + self.dx)
            ys.append(px * self.sin + py * self.cos + self.cy + self.dy)
        return (min(xs), min(ys), max(xs), max(ys))


class Canvas:
    """Premultiplied RGBA pixels; drawing units are scale pixels each."""

    def __init__(self, width, height, scale=1.0, background=None):
        self.width, self.height, self.scale = width, height, scale
        self.r = [0.0] * (width * height)
        self.g = [0.0] * (width * height)
        self.b = [0.0] * (width * height)
        self.a = [0.0] * (width * height)
        if background is not None:
            self.fill_rows(lambda y: background)

    def fill_rows(self, colour_of_row):
        """Covers the canvas with one opaque colour per row (y in pixels)."""
        w = self.width
        for y in range(self.height):
            c = colour_of_row(y)
            start = y * w
            self.r[start:start + w] = [c[0] / 255.0] * w
            self.g[start:start + w] = [c[1] / 255.0] * w
            self.b[start:start + w] = [c[2] / 255.0] * w
            self.a[start:start + w] = [1.0] * w

    def fill(self, shape, paint, opacity=1.0):
        """Composites paint (a colour or a function of x, y) over the shape."""
        k = self.scale
        x0, y0, x1, y1 = shape.bounds()
        px0 = max(int(math.floor(x0 * k)) - 1, 0)
        py0 = max(int(math.floor(y0 * k)) - 1, 0)
        px1 = min(int(math.ceil(x1 * k)) + 1, self.width)
        py1 = min(int(math.ceil(y1 * k)) + 1, self.height)
        solid = None if callable(paint) else paint
        sd = shape.sd
        w = self.width
        R, G, B, A = self.r, self.g, self.b, self.a
        for py in range(py0, py1):
            y = (py + 0.5) / k
            row = py * w
            for px in range(px0, px1):
                x = (px + 0.5) / k
                coverage = 0.5 - sd(x, y) * k
                if coverage <= 0.0:
                    continue
                if coverage > 1.0:
                    coverage = 1.0
                c = solid or paint(x, y)
                alpha = coverage * opacity * c[3] / 255.0
                if alpha <= 0.0:
                    continue
                i = row + px
                keep = 1.0 - alpha
                R[i] = c[0] / 255.0 * alpha + R[i] * keep
                G[i] = c[1] / 255.0 * alpha + G[i] * keep
                B[i] = c[2] / 255.0 * alpha + B[i] * keep
                A[i] = alpha + A[i] * keep

    def pixels(self):
        """Rows top-down of (r, g, b, a) tuples, 0..255, not premultiplied."""
        rows = []
        w = self.width
        for y in range(self.height):
            row = []
            for i in range(y * w, y * w + w):
                a = self.a[i]
                if a <= 1.0 / 512:
                    row.append((0, 0, 0, 0))
                    continue
                row.append((min(255, int(self.r[i] / a * 255 + 0.5)),
                            min(255, int(self.g[i] / a * 255 + 0.5)),
                            min(255, int(self.b[i] / a * 255 + 0.5)),
                            min(255, int(a * 255 + 0.5))))
            rows.append(row)
        return rows


class View:
    """Draws on a canvas through a placement: local units scaled by k, rotated by
    degrees about the local origin, with the local origin at (x, y) on the canvas."""

    def __init__(self, canvas, x=0.0, y=0.0, k=1.0, degrees=0.0):
        self.canvas, self.x, self.y, self.k = canvas, x, y, k
        self.degrees = degrees
        a = math.radians(degrees)
        self.cos, self.sin = math.cos(a), math.sin(a)

    def place(self, shape):
        return Transform(shape, self.degrees, 0.0, 0.0, self.x, self.y, self.k)

    def fill(self, shape, paint, opacity=1.0):
        if callable(paint):
            local = paint

            def paint(x, y):
                px, py = (x - self.x) / self.k, (y - self.y) / self.k
                return local(px * self.cos + py * self.sin, -px * self.sin + py * self.cos)

        self.canvas.fill(self.place(shape), paint, opacity)

    def framed(self, shape, paint, edge, width, opacity=1.0):
        """Fills the shape with an edge of the given width (local units) inside it."""
        self.fill(shape, edge, opacity)
        self.fill(shape.grown(-width), paint, opacity)
