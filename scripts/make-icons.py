#!/usr/bin/env python3
"""Draws the web pages' pictograms and writes them to data/images (or the directory given).

The pages ask for 32x32 .bmp icons (printer, counter, disk, error, file, monitor) and a small
red bullet .gif. Each picture is made of simple shapes drawn at four times the size and
averaged down, so edges are smooth. Standard library only; the generated files are kept in
the tree, so a build needs no Python.

    scripts/make-icons.py [OUTPUT_DIR] [--preview SHEET.png]
"""

import math
import os
import struct
import sys
import zlib

SCALE = 4  # sub-samples per pixel along each axis

WHITE = (255, 255, 255)
INK = (31, 41, 51)
GREY = (123, 135, 148)
LIGHT = (217, 226, 236)
PAPER = (250, 250, 250)
BLUE = (29, 78, 137)
SKY = (94, 155, 214)
RED = (196, 34, 24)
DARK_RED = (128, 20, 14)
GREEN = (27, 127, 59)
YELLOW = (232, 176, 20)


class Canvas:
    """A square picture; shapes are predicates over continuous pixel coordinates."""

    def __init__(self, size):
        self.size = size
        n = size * SCALE
        self.samples = [[None] * n for _ in range(n)]  # None: nothing drawn (background)

    def fill(self, inside, colour):
        n = self.size * SCALE
        for sy in range(n):
            y = (sy + 0.5) / SCALE
            row = self.samples[sy]
            for sx in range(n):
                if inside((sx + 0.5) / SCALE, y):
                    row[sx] = colour

    def rect(self, x0, y0, x1, y1, colour):
        self.fill(lambda x, y: x0 <= x < x1 and y0 <= y < y1, colour)

    def framed_rect(self, x0, y0, x1, y1, colour, border=INK, width=1.0):
        self.rect(x0, y0, x1, y1, border)
        self.rect(x0 + width, y0 + width, x1 - width, y1 - width, colour)

    def ellipse(self, cx, cy, rx, ry, colour):
        self.fill(lambda x, y: ((x - cx) / rx) ** 2 + ((y - cy) / ry) ** 2 <= 1.0, colour)

    def disc(self, cx, cy, r, colour):
        self.ellipse(cx, cy, r, r, colour)

    def line(self, x0, y0, x1, y1, width, colour):
        dx, dy = x1 - x0, y1 - y0
        length2 = dx * dx + dy * dy

        def inside(x, y):
            t = max(0.0, min(1.0, ((x - x0) * dx + (y - y0) * dy) / length2))
            px, py = x0 + t * dx - x, y0 + t * dy - y
            return px * px + py * py <= (width / 2) ** 2

        self.fill(inside, colour)

    def polygon(self, points, colour):
        def inside(x, y):
            result = False
            j = len(points) - 1
            for i, (xi, yi) in enumerate(points):
                xj, yj = points[j]
                if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                    result = not result
                j = i
            return result

        self.fill(inside, colour)

    def pixels(self, background):
        """Rows top to bottom of (r, g, b, coverage) with colours averaged over each pixel."""
        out = []
        for py in range(self.size):
            row = []
            for px in range(self.size):
                total = [0, 0, 0]
                covered = 0
                for sy in range(py * SCALE, (py + 1) * SCALE):
                    for sx in range(px * SCALE, (px + 1) * SCALE):
                        colour = self.samples[sy][sx]
                        if colour is not None:
                            covered += 1
                        colour = colour or background
                        for k in range(3):
                            total[k] += colour[k]
                n = SCALE * SCALE
                row.append(tuple(round(t / n) for t in total) + (covered / n,))
            out.append(row)
        return out


def printer():
    c = Canvas(32)
    c.framed_rect(9, 3, 23, 13, PAPER)  # sheet going in
    c.framed_rect(3, 11, 29, 24, LIGHT, width=1.2)  # body
    c.rect(3, 11, 29, 13, GREY)
    c.rect(7, 19, 25, 21, INK)  # output slot
    c.disc(25, 15.5, 1.5, GREEN)  # ready light
    c.framed_rect(9, 20, 23, 30, PAPER)  # printed sheet
    for y in (23, 25.5, 28):
        c.rect(11, y, 21, y + 1, GREY)
    return c


def counter():
    c = Canvas(32)
    cx, cy = 16, 18
    c.disc(cx, cy, 14, INK)
    c.disc(cx, cy, 12.5, WHITE)
    # The scale: green, yellow and red along the upper arc.
    for start, end, colour in ((180, 230, GREEN), (230, 300, YELLOW), (300, 360, RED)):

        def band(x, y, start=start, end=end):
            r = math.hypot(x - cx, y - cy)
            a = math.degrees(math.atan2(y - cy, x - cx)) % 360
            return 8.5 <= r <= 11.5 and start <= a <= end

        c.fill(band, colour)
    c.line(cx, cy, cx + 7.5, cy - 7.5, 2.2, RED)  # needle
    c.disc(cx, cy, 2.5, INK)
    c.rect(10, 24, 22, 27, LIGHT)  # read-out
    c.rect(12, 25, 20, 26, GREY)
    return c


def disk():
    c = Canvas(32)
    # A stack of platters: a cylinder with a lit top and two grooves.
    c.ellipse(16, 24, 13, 5, INK)
    c.rect(3, 9, 29, 24, INK)
    c.ellipse(16, 24, 12, 4, GREY)
    c.rect(4, 9, 28, 24, GREY)
    for y in (15, 20):
        c.fill(lambda x, yy, y=y: abs(((x - 16) / 12) ** 2 + ((yy - y) / 4) ** 2 - 1) < 0.09
               and yy > y, INK)
    c.ellipse(16, 9, 13, 5, INK)
    c.ellipse(16, 9, 12, 4, LIGHT)
    c.ellipse(16, 9, 3, 1.2, GREY)  # spindle
    c.disc(24, 24.5, 1.2, GREEN)  # activity light
    return c


def error():
    c = Canvas(32)
    c.disc(16, 16, 14.5, DARK_RED)
    c.disc(16, 16, 13, RED)
    c.line(10.5, 10.5, 21.5, 21.5, 3.6, WHITE)
    c.line(21.5, 10.5, 10.5, 21.5, 3.6, WHITE)
    return c


def file_page():
    c = Canvas(32)
    outline = [(6, 2), (20, 2), (27, 9), (27, 30), (6, 30)]
    inner = [(7, 3), (19.6, 3), (26, 9.4), (26, 29), (7, 29)]
    c.polygon(outline, INK)
    c.polygon(inner, PAPER)
    c.polygon([(19, 2.5), (19, 10), (26.5, 10)], LIGHT)  # folded corner
    c.line(19, 2.5, 19, 10, 1, INK)
    c.line(19, 10, 26.5, 10, 1, INK)
    for y, x1 in ((13, 23), (16.5, 23), (20, 23), (23.5, 23), (27, 17)):
        c.rect(10, y, x1, y + 1.2, GREY)
    return c


def monitor():
    c = Canvas(32)
    c.framed_rect(2, 3, 30, 23, INK)  # bezel
    c.rect(4.5, 5.5, 27.5, 20.5, BLUE)
    c.polygon([(4.5, 5.5), (16, 5.5), (4.5, 15)], SKY)  # a gleam on the screen
    c.rect(14, 23, 18, 27, GREY)  # neck
    c.framed_rect(8, 26, 24, 30, LIGHT)  # foot
    c.disc(26.5, 21.8, 0.7, GREEN)
    return c


def bullet():
    c = Canvas(12)
    c.disc(6, 6, 5.5, DARK_RED)
    c.disc(6, 6, 4.6, RED)
    c.disc(4.6, 4.4, 1.6, (240, 130, 120))  # highlight
    return c


ICONS = {
    "Printer.bmp": printer,
    "Counter.bmp": counter,
    "Disk.bmp": disk,
    "Error.bmp": error,
    "File.bmp": file_page,
    "Monitor.bmp": monitor,
}


def bmp(canvas):
    """An uncompressed 24-bit BMP, rows bottom-up, each padded to four bytes."""
    rows = canvas.pixels(WHITE)
    stride = (canvas.size * 3 + 3) & ~3
    body = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b, _ in row:
            line += bytes((b, g, r))
        body += line + bytes(stride - len(line))
    info = struct.pack("<IiiHHIIiiII", 40, canvas.size, canvas.size, 1, 24, 0, len(body),
                       2835, 2835, 0, 0)
    offset = 14 + len(info)
    return struct.pack("<2sIHHI", b"BM", offset + len(body), 0, 0, offset) + info + body


def lzw(indices, min_code_size):
    """GIF's variable-width LZW, codes packed least significant bit first."""
    clear, end = 1 << min_code_size, (1 << min_code_size) + 1
    table = {(i,): i for i in range(clear)}
    next_code, width = end + 1, min_code_size + 1
    acc = bits = 0
    out = bytearray()

    def emit(code):
        nonlocal acc, bits
        acc |= code << bits
        bits += width
        while bits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            bits -= 8

    emit(clear)
    word = ()
    for k in indices:
        longer = word + (k,)
        if longer in table:
            word = longer
            continue
        emit(table[word])
        if next_code < 4096:
            table[longer] = next_code
            if next_code == 1 << width and width < 12:
                width += 1
            next_code += 1
        word = (k,)
    if word:
        emit(table[word])
    emit(end)
    if bits:
        out.append(acc & 0xFF)
    return bytes(out)


def gif(canvas):
    """A GIF89a, its palette the picture's own colours; untouched pixels are transparent."""
    rows = canvas.pixels(WHITE)
    palette = [(0, 0, 0)]  # index 0: transparent
    indices = []
    for row in rows:
        for r, g, b, coverage in row:
            if coverage == 0:
                indices.append(0)
                continue
            if (r, g, b) not in palette:
                palette.append((r, g, b))
            indices.append(palette.index((r, g, b)))
    depth = max(2, math.ceil(math.log2(len(palette))))
    palette += [(0, 0, 0)] * ((1 << depth) - len(palette))
    size = canvas.size
    data = bytearray(b"GIF89a")
    data += struct.pack("<HHBBB", size, size, 0x80 | (depth - 1) << 4 | (depth - 1), 0, 0)
    for colour in palette:
        data += bytes(colour)
    data += bytes((0x21, 0xF9, 4, 0x01, 0, 0, 0, 0))  # graphic control: index 0 transparent
    data += b"\x2c" + struct.pack("<HHHHB", 0, 0, size, size, 0)
    data.append(depth)
    packed = lzw(indices, depth)
    for at in range(0, len(packed), 255):
        block = packed[at:at + 255]
        data += bytes((len(block),)) + block
    data += b"\x00\x3b"
    return bytes(data)


def png_sheet(canvases, zoom=4):
    """Every picture side by side, enlarged, on a grey band: for looking at them."""
    gap = 8
    height = max(c.size for c in canvases) * zoom + 2 * gap
    width = sum(c.size * zoom + gap for c in canvases) + gap
    image = [[(200, 200, 200)] * width for _ in range(height)]
    x = gap
    for c in canvases:
        for py, row in enumerate(c.pixels((200, 200, 200))):
            for px, (r, g, b, _) in enumerate(row):
                for dy in range(zoom):
                    for dx in range(zoom):
                        image[gap + py * zoom + dy][x + px * zoom + dx] = (r, g, b)
        x += c.size * zoom + gap
    raw = b"".join(b"\x00" + bytes(v for p in row for v in p) for row in image)

    def chunk(kind, payload):
        return (struct.pack(">I", len(payload)) + kind + payload +
                struct.pack(">I", zlib.crc32(kind + payload)))

    return (b"\x89PNG\r\n\x1a\n" +
            chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main(argv):
    preview = None
    if "--preview" in argv:
        at = argv.index("--preview")
        preview = argv[at + 1]
        del argv[at:at + 2]
    here = os.path.dirname(os.path.abspath(__file__))
    out_dir = argv[0] if argv else os.path.join(here, "..", "data", "images")
    os.makedirs(out_dir, exist_ok=True)
    canvases = []
    for name, draw in ICONS.items():
        canvas = draw()
        canvases.append(canvas)
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(bmp(canvas))
    canvas = bullet()
    canvases.append(canvas)
    with open(os.path.join(out_dir, "Redbullet.gif"), "wb") as f:
        f.write(gif(canvas))
    if preview:
        with open(preview, "wb") as f:
            f.write(png_sheet(canvases))


if __name__ == "__main__":
    main(sys.argv[1:])
