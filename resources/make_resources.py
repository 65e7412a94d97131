#!/usr/bin/python3
"""Writes the program's images, cursor and click sound, and the resource list that compiles them in.

Run it from anywhere: ./make_resources.py (Python 3, standard library only). Every file is drawn from the
pictures and numbers below, so a change here followed by a re-run is all it takes to change a resource.
Images use their bottom-left pixel's colour (magenta) as the transparent colour; that pixel is kept
magenta in every picture.
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

# The sixteen classic display colours; index 13 (magenta) marks transparent pixels.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
# Picture letters -> palette index.
LETTERS = {
    '.': 13,  # magenta, transparent
    'k': 0,   # black
    'm': 1,   # maroon
    'g': 2,   # green
    'o': 3,   # olive
    'n': 4,   # navy
    'p': 5,   # purple
    't': 6,   # teal (light blue in the dot's palette)
    's': 7,   # silver
    'd': 8,   # grey
    'r': 9,   # red
    'l': 10,  # lime
    'y': 11,  # yellow
    'b': 12,  # blue
    'c': 14,  # aqua
    'w': 15,  # white
}


def picture(rows, width, height):
    """Turns a list of letter rows into palette indexes, padding with transparent magenta."""
    assert len(rows) <= height, rows
    pixels = []
    for y in range(height):
        row = rows[y] if y < len(rows) else ''
        assert len(row) <= width, row
        row = row + '.' * (width - len(row))
        pixels.append([LETTERS[ch] for ch in row])
    return pixels


def bmp_bytes(pixels, palette, bits):
    """A Windows bitmap file with a colour table; rows are stored bottom-up, padded to four bytes."""
    height = len(pixels)
    width = len(pixels[0])
    row_bytes = ((width * bits + 31) // 32) * 4
    data = bytearray()
    for row in reversed(pixels):
        line = bytearray()
        if bits == 4:
            for x in range(0, width, 2):
                hi = row[x]
                lo = row[x + 1] if x + 1 < width else 0
                line.append((hi << 4) | lo)
        elif bits == 8:
            line.extend(row)
        else:
            raise ValueError(bits)
        line.extend(b'\0' * (row_bytes - len(line)))
        data.extend(line)
    colours = 1 << bits
    table = bytearray()
    for i in range(colours):
        r, g, b = palette[i] if i < len(palette) else (0, 0, 0)
        table.extend(bytes((b, g, r, 0)))
    offset = 14 + 40 + len(table)
    header = struct.pack('<2sIHHI', b'BM', offset + len(data), 0, 0, offset)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, bits, 0, len(data), 2835, 2835, colours, 0)
    return header + info + bytes(table) + bytes(data)


def write(name, data):
    with open(os.path.join(HERE, name), 'wb') as f:
        f.write(data)


# --- Check box images, 16 x 16 -------------------------------------------------------------------------

# Sunken square 14 x 14 at (1, 1): grey then black on the top and left edges, white then silver on the
# bottom and right, white inside.
BLANK = [
    '',
    '.dddddddddddddw',
    '.dkkkkkkkkkkksw',
] + ['.dkwwwwwwwwwwsw'] * 10 + [
    '.dksssssssssssw',
    '.wwwwwwwwwwwwww',
]
# The same frame, hollow.
ENABLED = [row[:3] + row[3:13].replace('w', '.') + row[13:] if 2 < i < 13 else row
           for i, row in enumerate(BLANK)]
# Flat box: 12 x 12 at (2, 2), one grey pixel of border, white inside.
BLANK_FLAT = ['', '', '..dddddddddddd'] + ['..dwwwwwwwwwwd'] * 10 + ['..dddddddddddd']
ENABLED_FLAT = ['', '', '..dddddddddddd'] + ['..d..........d'] * 10 + ['..dddddddddddd']


def cross(colour):
    rows = [['.'] * 16 for _ in range(16)]
    for i in range(8):
        for x in (4 + i, 5 + i):
            if x <= 11:
                rows[4 + i][x] = colour
        for x in (11 - i, 10 - i):
            if x >= 4:
                rows[4 + i][x] = colour
    return [''.join(r) for r in rows]


def tick(colour):
    # A tick three pixels thick: down from (4, 6) to (6, 8), then up to (11, 3).
    rows = [['.'] * 16 for _ in range(16)]
    points = [(4, 6), (5, 7), (6, 8), (7, 7), (8, 6), (9, 5), (10, 4), (11, 3)]
    for x, y in points:
        for dy in range(3):
            rows[y + dy][x] = colour
    return [''.join(r) for r in rows]


def dot():
    # Blue disc of radius 3.5 around the interior's centre, with a light-blue highlight at its upper left.
    rows = [['.'] * 16 for _ in range(16)]
    for y in range(16):
        for x in range(16):
            if (x - 7.5) ** 2 + (y - 7.5) ** 2 <= 3.6 ** 2:
                rows[y][x] = 'b'
    for x, y in ((6, 5), (5, 6), (6, 6), (7, 5)):
        rows[y][x] = 't'
    return [''.join(r) for r in rows]


DOT_PALETTE = list(VGA16)
DOT_PALETTE[6] = (128, 192, 255)  # light blue highlight instead of teal

CHECK_IMAGES = [
    # (resource name, file, picture, palette)
    ('BLANK', 'blank.bmp', BLANK, VGA16),
    ('ENABLED', 'enabled.bmp', ENABLED, VGA16),
    ('BLANKFLAT', 'blankflat.bmp', BLANK_FLAT, VGA16),
    ('ENABLEDFLAT', 'enabledflat.bmp', ENABLED_FLAT, VGA16),
    ('CHECKIKS', 'checkiks.bmp', cross('r'), VGA16),
    ('CHECKOK', 'checkok.bmp', tick('b'), VGA16),
    ('CHECKELLI', 'checkelli.bmp', dot(), DOT_PALETTE),
    ('CHECKEIKSB', 'checkeiksb.bmp', cross('b'), VGA16),
    ('CHECKIKSG', 'checkiksg.bmp', cross('g'), VGA16),
    ('CHECKOKG', 'checkokg.bmp', tick('l'), VGA16),
    ('CHECKOKR', 'checkokr.bmp', tick('r'), VGA16),
]

# --- Folder glyph of the file name field, 14 x 12 ------------------------------------------------------

FOLDER = [
    '..............',
    '.kkkk.........',
    'koooook.......',
    'kooooookkkkkk.',
    'koooooooooook.',
    'kookkkkkkkkkkk',
    'kokyyyyyyyyyyk',
    'kokyyyyyyyyyk.',
    'kkyyyyyyyyyyk.',
    'kkyyyyyyyyyk..',
    'kkkkkkkkkkkk..',
    '..............',
]

# --- Program icon, 32 x 32: a yellow signpost arrow on a post -------------------------------------------

ICON = [
    '................................',
    '................................',
    '...............kk...............',
    '..............kmmk..............',
    '..............kmmk..............',
    '...kkkkkkkkkkkkkkkkkkkkkkk......',
    '...kyyyyyyyyyyyyyyyyyyyyyyk.....',
    '...kyyyyyyyyyyyyyyyyyyyyyyyk....',
    '...kyyyyyyyyyyyyyyyyyyyyyyyyk...',
    '...kyykkkkkkkkkkkkkkkkkyyyyyyk..',
    '...kyyyyyyyyyyyyyyyyyyyyyyyyyyk.',
    '...kyykkkkkkkkkkkkkyyyyyyyyyyk..',
    '...kyyyyyyyyyyyyyyyyyyyyyyyyk...',
    '...kyyyyyyyyyyyyyyyyyyyyyyyk....',
    '...kyyyyyyyyyyyyyyyyyyyyyyk.....',
    '...kkkkkkkkkkkkkkkkkkkkkkk......',
    '..............kmmk..............',
    '..............kmmk..............',
    '.....kkkkkkkkkkkkkkkkkkkkk......',
    '.....kwwwwwwwwwwwwwwwwwwwbk.....',
    '....kwbbbbbbbbbbbbbbbbbbbbbk....',
    '...kwbbbbbbbbbbbbbbbbbbbbbbbk...',
    '..kwbbbbbbbbbbbbbbbbbbbbbbbk....',
    '...kbbbbbbbbbbbbbbbbbbbbbbk.....',
    '....kkkkkkkkkkkkkkkkkkkkkk......',
    '..............kmmk..............',
    '..............kmmk..............',
    '..............kmmk..............',
    '.........gggggkmmkggggg.........',
    '.......ggggggggggggggggggg......',
    '................................',
    '................................',
]


def ico_bytes(pixels, palette):
    """A 32 x 32, 16-colour icon file; magenta pixels are transparent through the AND mask."""
    size = len(pixels)
    xor_rows = bytearray()
    and_rows = bytearray()
    for row in reversed(pixels):
        line = bytearray()
        for x in range(0, size, 2):
            a = 0 if row[x] == 13 else row[x]
            b = 0 if row[x + 1] == 13 else row[x + 1]
            line.append((a << 4) | b)
        xor_rows.extend(line)
        mask = bytearray(size // 8)
        for x in range(size):
            if row[x] == 13:
                mask[x // 8] |= 0x80 >> (x % 8)
        and_rows.extend(mask)
    table = bytearray()
    for r, g, b in palette:
        table.extend(bytes((b, g, r, 0)))
    info = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, len(xor_rows) + len(and_rows), 0, 0, 16, 0)
    image = info + bytes(table) + bytes(xor_rows) + bytes(and_rows)
    header = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(image), 6 + 16)
    return header + entry + image


# --- Desktop icons: the program icon for the hicolor theme -----------------------------------------------

ICON_SIZES = (16, 32, 48, 256)


def icon_rgba(pixels, palette, size):
    """The icon resampled to size x size RGBA by area averaging: whole multiples stay crisp pixel art,
    16 and 48 blend only the pixels a target pixel straddles. Colour is averaged weighted by opacity so
    transparent magenta never bleeds into the edges."""
    source = len(pixels)
    scale = source / size
    rows = []
    for ty in range(size):
        row = bytearray()
        for tx in range(size):
            r = g = b = a = 0.0
            y0, y1 = ty * scale, (ty + 1) * scale
            x0, x1 = tx * scale, (tx + 1) * scale
            for sy in range(int(y0), min(source, math.ceil(y1))):
                wy = min(y1, sy + 1) - max(y0, sy)
                for sx in range(int(x0), min(source, math.ceil(x1))):
                    index = pixels[sy][sx]
                    if index == 13:
                        continue
                    w = wy * (min(x1, sx + 1) - max(x0, sx))
                    pr, pg, pb = palette[index]
                    r, g, b, a = r + pr * w, g + pg * w, b + pb * w, a + w
            area = scale * scale
            if a == 0:
                row.extend((0, 0, 0, 0))
            else:
                row.extend((round(r / a), round(g / a), round(b / a), round(255 * a / area)))
        rows.append(bytes(row))
    return rows


def png_bytes(rows, size):
    """An 8-bit RGBA PNG, no filtering."""
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))
    raw = b''.join(b'\0' + row for row in rows)
    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(raw, 9))
            + chunk(b'IEND', b''))


def svg_text(pixels, palette):
    """The same 32 x 32 picture as squares, one run of equal pixels per rectangle: it scales without
    blur, as the pixel art it is, and holds nothing the bitmap does not."""
    size = len(pixels)
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             f'<svg xmlns="http://www.w3.org/2000/svg" width="{size}" height="{size}" '
             f'viewBox="0 0 {size} {size}" shape-rendering="crispEdges">']
    for y, row in enumerate(pixels):
        x = 0
        while x < size:
            end = x
            while end < size and row[end] == row[x]:
                end += 1
            if row[x] != 13:
                colour = '#%02x%02x%02x' % palette[row[x]]
                lines.append(f'<rect x="{x}" y="{y}" width="{end - x}" height="1" fill="{colour}"/>')
            x = end
    lines += ['</svg>', '']
    return '\n'.join(lines)


# --- Pointing-hand cursor, 32 x 32 monochrome, hot spot (0, 0) at the finger tip -------------------------

HAND = [
    '.kk.............',
    'kwwk............',
    'kwwk............',
    'kwwk............',
    'kwwkkk..........',
    'kwwkwwkkk.......',
    'kwwkwwkwwkk.....',
    'kwwkwwkwwkwk.kk.',
    'kwwwwwwwwwwkkwwk',
    'kwwwwwwwwwwwkwwk',
    'kwwwwwwwwwwwwwk.',
    'kwwwwwwwwwwwwwk.',
    '.kwwwwwwwwwwwk..',
    '.kwwwwwwwwwwwk..',
    '..kwwwwwwwwwk...',
    '..kwwwwwwwwwk...',
    '..kkkkkkkkkkk...',
]


def cur_bytes(rows, hot_x, hot_y):
    """A 32 x 32 monochrome cursor: black and white pixels, the rest transparent."""
    size = 32
    grid = picture(rows, size, size)
    xor_rows = bytearray()
    and_rows = bytearray()
    for row in reversed(grid):
        xor_line = bytearray(4)
        and_line = bytearray(4)
        for x in range(size):
            bit = 0x80 >> (x % 8)
            if row[x] == 13:
                and_line[x // 8] |= bit
            elif row[x] == 15:
                xor_line[x // 8] |= bit
        xor_rows.extend(xor_line)
        and_rows.extend(and_line)
    table = bytes((0, 0, 0, 0, 255, 255, 255, 0))
    info = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 1, 0, len(xor_rows) + len(and_rows), 0, 0, 2, 0)
    image = info + table + bytes(xor_rows) + bytes(and_rows)
    header = struct.pack('<HHH', 0, 2, 1)
    entry = struct.pack('<BBBBHHII', size, size, 2, 0, hot_x, hot_y, len(image), 6 + 16)
    return header + entry + image


# --- Click sound: 57 ms, 16-bit mono PCM at 22 050 Hz -------------------------------------------------

def click_wav():
    rate = 22050
    count = round(rate * 0.057)  # 1257 samples
    seed = 12345
    samples = bytearray()
    for n in range(count):
        t = n / rate
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        noise = (seed / 0x7FFFFFFF) * 2 - 1
        envelope = math.exp(-t / 0.006)
        value = envelope * (0.55 * math.sin(2 * math.pi * 1800 * t) + 0.25 * math.sin(2 * math.pi * 3300 * t)
                            + 0.2 * noise)
        # A short fade-out so the sound ends on silence, not on a step.
        if n > count - 64:
            value *= (count - n) / 64
        samples.extend(struct.pack('<h', int(round(max(-1.0, min(1.0, value)) * 26000))))
    fmt = struct.pack('<HHIIHH', 1, 1, rate, rate * 2, 2, 16)
    body = b'WAVE' + b'fmt ' + struct.pack('<I', len(fmt)) + fmt + b'data' + struct.pack('<I', len(samples)) \
        + bytes(samples)
    return b'RIFF' + struct.pack('<I', len(body)) + body


# --- Marble texture, 128 x 128 in 256 colours -----------------------------------------------------------

def marble():
    size = 128
    period = 8  # lattice cells across the tile; everything repeats every 128 pixels so tiles join unseen

    def lattice(ix, iy, salt):
        h = (ix % period) * 374761393 + (iy % period) * 668265263 + salt * 2147483647
        h = (h ^ (h >> 13)) * 1274126177
        return ((h ^ (h >> 16)) & 0xFFFF) / 0xFFFF

    def smooth_noise(x, y, cells, salt):
        fx = x * cells / size
        fy = y * cells / size
        ix, iy = int(math.floor(fx)), int(math.floor(fy))
        tx, ty = fx - ix, fy - iy
        tx = tx * tx * (3 - 2 * tx)
        ty = ty * ty * (3 - 2 * ty)

        def at(a, b):
            return lattice(a % cells, b % cells, salt + cells)

        top = at(ix, iy) * (1 - tx) + at(ix + 1, iy) * tx
        bottom = at(ix, iy + 1) * (1 - tx) + at(ix + 1, iy + 1) * tx
        return top * (1 - ty) + bottom * ty

    def turbulence(x, y):
        return (smooth_noise(x, y, 4, 1) * 0.5 + smooth_noise(x, y, 8, 2) * 0.3
                + smooth_noise(x, y, 16, 3) * 0.2)

    light = (250, 246, 255)  # near-white lilac
    vein = (150, 146, 160)   # grey vein
    palette = []
    for i in range(256):
        f = i / 255
        palette.append(tuple(int(round(vein[c] + (light[c] - vein[c]) * f)) for c in range(3)))
    pixels = []
    for y in range(size):
        row = []
        for x in range(size):
            phase = 2 * math.pi * (2 * x + y) / size + 6.0 * turbulence(x, y)
            s = abs(math.sin(phase))
            # Thin veins where the sine crosses zero, a gentle cloudiness elsewhere.
            v = 1.0 - 0.85 * max(0.0, 1.0 - s / 0.12) ** 2
            v -= 0.06 * smooth_noise(x, y, 16, 7)
            row.append(max(0, min(255, int(round(v * 255)))))
        pixels.append(row)
    return pixels, palette


def main():
    entries = []
    for name, filename, rows, palette in CHECK_IMAGES:
        pixels = picture(rows, 16, 16)
        assert pixels[15][0] == 13, name
        write(filename, bmp_bytes(pixels, palette, 4))
        entries.append((name, filename))
    folder = picture(FOLDER, 14, 12)
    assert folder[11][0] == 13
    write('feditbmp.bmp', bmp_bytes(folder, VGA16, 4))
    entries.append(('FEDITBMP', 'feditbmp.bmp'))
    icon = picture(ICON, 32, 32)
    assert icon[31][0] == 13
    write('mainicon.ico', ico_bytes(icon, VGA16))
    entries.append(('MAINICON', 'mainicon.ico'))
    os.makedirs(os.path.join(HERE, 'icons'), exist_ok=True)
    for size in ICON_SIZES:
        write(f'icons/signposter-{size}.png', png_bytes(icon_rgba(icon, VGA16, size), size))
    write('icons/signposter.svg', svg_text(icon, VGA16).encode())
    write('handd.cur', cur_bytes(HAND, 0, 0))
    entries.append(('HANDD', 'handd.cur'))
    write('klik.wav', click_wav())
    entries.append(('KLIK', 'klik.wav'))
    pixels, palette = marble()
    write('marble.bmp', bmp_bytes(pixels, palette, 8))
    entries.append(('MARBLE', 'marble.bmp'))

    lines = ['<!DOCTYPE RCC>', '<!-- Written by make_resources.py; re-run it instead of editing. -->',
             '<RCC version="1.0">', '<qresource prefix="/">']
    for name, filename in entries:
        lines.append(f'    <file alias="{name}">{filename}</file>')
    lines += ['</qresource>', '</RCC>', '']
    with open(os.path.join(HERE, 'resources.qrc'), 'w') as f:
        f.write('\n'.join(lines))


if __name__ == '__main__':
    main()
