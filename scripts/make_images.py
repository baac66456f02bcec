#!/usr/bin/env python3
"""Draws the program's icon (resources/ombrelo.ico) and logo (resources/logo.bmp).

The build embeds the committed files; run this only to change the pictures:
    python3 scripts/make_images.py [output-folder]
Standard library only. The emblem is an umbrella whose stick is a lightning bolt, in flat colours,
anti-aliased by supersampling; the logo puts it beside the name in block letters from a tiny font.
"""
import os
import struct
import sys

# Flat palette (R, G, B).
CANOPY_LIGHT = (0x2F, 0x80, 0xED)
CANOPY_DARK = (0x1B, 0x5F, 0xBF)
KNOB = (0x26, 0x32, 0x38)
BOLT = (0xFF, 0xC4, 0x00)
BOLT_EDGE = (0x9A, 0x60, 0x00)
LETTERS = (0x17, 0x36, 0x5D)
# The logo sits on the dialog's button face; the picture control fills its spare room with the
# top-left pixel, so the background must be that colour too.
LOGO_BACKGROUND = (0xF0, 0xF0, 0xF0)

# Emblem geometry in a unit square, y pointing down.
CANOPY_CENTRE = (0.5, 0.56)
CANOPY_RADIUS = 0.45
APEX = (0.5, 0.11)
SCALLOP_CENTRES = (0.20, 0.50, 0.80)
SCALLOP_DROP = 0.09
SCALLOP_RADIUS = (0.15 ** 2 + SCALLOP_DROP ** 2) ** 0.5
RIB_ENDS = (0.35, 0.65)
BOLT_POLYGON = [(0.55, 0.50), (0.43, 0.75), (0.52, 0.75), (0.44, 0.98),
                (0.64, 0.67), (0.54, 0.67), (0.62, 0.50)]
BOLT_EDGE_WIDTH = 0.035


def _segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)
    t = max(0.0, min(1.0, t))
    qx, qy = ax + t * dx - px, ay + t * dy - py
    return (qx * qx + qy * qy) ** 0.5


def _inside_polygon(px, py, points):
    inside = False
    n = len(points)
    for i in range(n):
        ax, ay = points[i]
        bx, by = points[(i + 1) % n]
        if (ay > py) != (by > py) and px < ax + (py - ay) * (bx - ax) / (by - ay):
            inside = not inside
    return inside


def _near_polygon(px, py, points, width):
    n = len(points)
    return any(_segment_distance(px, py, *points[i], *points[(i + 1) % n]) <= width
               for i in range(n))


def _emblem_colour(x, y):
    """Colour of the emblem at (x, y) in the unit square, or None where it is transparent."""
    if _inside_polygon(x, y, BOLT_POLYGON):
        return BOLT
    if _near_polygon(x, y, BOLT_POLYGON, BOLT_EDGE_WIDTH):
        return BOLT_EDGE
    cx, cy = CANOPY_CENTRE
    if (x - APEX[0]) ** 2 + (y - APEX[1] + 0.03) ** 2 <= 0.045 ** 2:
        return KNOB
    if y <= cy and (x - cx) ** 2 + (y - cy) ** 2 <= CANOPY_RADIUS ** 2:
        for sx in SCALLOP_CENTRES:
            if (x - sx) ** 2 + (y - cy - SCALLOP_DROP) ** 2 <= SCALLOP_RADIUS ** 2:
                return None
        # The ribs run from the apex to the scallop joints; the middle panel catches the light.
        left = APEX[0] + (RIB_ENDS[0] - APEX[0]) * (y - APEX[1]) / (cy - APEX[1])
        right = APEX[0] + (RIB_ENDS[1] - APEX[0]) * (y - APEX[1]) / (cy - APEX[1])
        return CANOPY_LIGHT if left <= x <= right else CANOPY_DARK
    return None


def render_emblem(size, samples=8):
    """size x size straight-alpha RGBA pixels, rows top to bottom."""
    rows = []
    step = 1.0 / (size * samples)
    total = samples * samples
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = hits = 0
            for sy in range(samples):
                y = (py * samples + sy + 0.5) * step
                for sx in range(samples):
                    c = _emblem_colour((px * samples + sx + 0.5) * step, y)
                    if c is not None:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        hits += 1
            if hits:
                row.append((round(r / hits), round(g / hits), round(b / hits),
                            round(255 * hits / total)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def _icon_image(size):
    """One icon image: BITMAPINFOHEADER, bottom-up BGRA colour rows, bottom-up AND mask."""
    pixels = render_emblem(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = bytearray()
    mask = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    for row in reversed(pixels):
        bits = bytearray(mask_stride)
        for x, (r, g, b, a) in enumerate(row):
            colour += bytes((b, g, r, a))
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(colour) + bytes(mask)


def make_icon(sizes=(16, 32, 48)):
    images = [_icon_image(s) for s in sizes]
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    return bytes(out)


# Block letters, '#' is ink. Lower-case letters use the bottom five rows; no descenders are needed.
GLYPHS = {
    'O': ['.####.', '#....#', '#....#', '#....#', '#....#', '#....#', '.####.'],
    'm': ['.....', '.....', '##.#.', '#.#.#', '#.#.#', '#.#.#', '#.#.#'],
    'b': ['#....', '#....', '####.', '#...#', '#...#', '#...#', '####.'],
    'r': ['.....', '.....', '#.##.', '##..#', '#....', '#....', '#....'],
    'e': ['.....', '.....', '.###.', '#...#', '#####', '#....', '.###.'],
    'l': ['##.', '.#.', '.#.', '.#.', '.#.', '.#.', '###'],
    'o': ['.....', '.....', '.###.', '#...#', '#...#', '#...#', '.###.'],
}


def make_logo(width=200, height=52, scale=4, letter_gap=3, emblem=40):
    """The logo as a 24-bit BMP file. The main window centres it in a box that reaches past the
    window's right edge, so it stays at most 200 pixels wide to show whole at the usual dialog
    font size."""
    canvas = [[LOGO_BACKGROUND] * width for _ in range(height)]
    left, top = 1, (height - emblem) // 2
    for y, row in enumerate(render_emblem(emblem)):
        for x, (r, g, b, a) in enumerate(row):
            bg = canvas[top + y][left + x]
            canvas[top + y][left + x] = tuple(round((c * a + k * (255 - a)) / 255)
                                              for c, k in zip((r, g, b), bg))
    word = 'Ombrelo'
    text_width = (sum(len(GLYPHS[ch][0]) for ch in word) * scale
                  + (len(word) - 1) * letter_gap)
    x0 = width - 1 - text_width
    y0 = (height - 7 * scale) // 2 + 1
    for ch in word:
        glyph = GLYPHS[ch]
        for gy, line in enumerate(glyph):
            for gx, cell in enumerate(line):
                if cell != '#':
                    continue
                for y in range(y0 + gy * scale, y0 + (gy + 1) * scale):
                    for x in range(x0 + gx * scale, x0 + (gx + 1) * scale):
                        canvas[y][x] = LETTERS
        x0 += len(glyph[0]) * scale + letter_gap
    stride = (width * 3 + 3) // 4 * 4
    pixels = bytearray()
    for row in reversed(canvas):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        pixels += line + bytes(stride - len(line))
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(pixels), 3780, 3780, 0, 0)
    head = struct.pack('<2sIHHI', b'BM', 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    return head + info + bytes(pixels)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, '..', 'resources')
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, 'ombrelo.ico'), 'wb') as f:
        f.write(make_icon())
    with open(os.path.join(out, 'logo.bmp'), 'wb') as f:
        f.write(make_logo())


if __name__ == '__main__':
    main()
