#!/usr/bin/env python3
"""Render the Lirabel Warden Setup program icon.

Draws a deep teal rounded-square tile carrying a white shield; the shield's
right half is lightly tinted and a keyhole is cut through it. At 16 px the
shield is drawn plain white with a straight top edge and no keyhole, where
the detail would only be noise. Every image is rendered with 4x4 supersampling
per pixel and encoded as an RGBA PNG, which `zopflipng -m` (Debian: zopfli)
then stores again with the best lossless compression it finds, a palette where
that is smaller: the same pixels in about 30% fewer bytes, which every download
of the setup program carries. The four PNGs are then packed into a single
Windows .ico whose entries hold the PNG data directly.

Apart from zopflipng only the Python standard library is used, and the output
is byte-for-byte deterministic (no timestamps or other ancillary chunks, fixed
zlib level, and zopflipng's search has no randomness), so the generated files
can be committed and checked by simply re-running:

    python3 resources/icon/make_icon.py

All five files are written next to this script.
"""

import os
import shutil
import struct
import subprocess
import tempfile
import zlib

SIZES = (16, 32, 48, 256)
BASENAME = "lirabel-warden"
SUPERSAMPLE = 4  # samples per pixel along each axis
ZLIB_LEVEL = 9

# Palette (sRGB).
TILE = (0x0E, 0x5A, 0x6E)         # deep teal
SHIELD_LIGHT = (0xFF, 0xFF, 0xFF)  # left half of the shield
SHIELD_SHADE = (0xD6, 0xE8, 0xEC)  # right half, a pale teal tint
KEYHOLE = TILE                     # the keyhole shows the tile through

# Shape geometry in unit coordinates: the full image spans [0, 1] x [0, 1],
# x grows to the right and y grows downwards. The tile inset is chosen per
# size so that small icons use every pixel while the large one keeps a margin.
TILE_INSET = {16: 0.0, 32: 1.0 / 32, 48: 1.0 / 48, 256: 10.0 / 256}
TILE_RADIUS = 0.22       # corner radius relative to the tile's side

SHIELD_CX = 0.5
SHIELD_TOP = 0.1875      # y of the top edge at its corners (3/16)
SHIELD_DIP = 0.035       # how far the top edge sags towards the middle
SHIELD_SHOULDER = 0.47   # y where the straight sides turn into the curve
SHIELD_TIP = 0.87        # y of the bottom point
SHIELD_HALF_W = 0.3125   # half width across the shoulders (5/16)
SHIELD_CORNER_R = 0.045  # rounding of the two upper corners
SHIELD_CURVE_EXP = 1.9   # >1 gives convex flanks that meet in a point

KEY_CY = 0.445           # keyhole: round head ...
KEY_R = 0.068
KEY_TOP_HW = 0.028       # ... and a flared stem below it
KEY_BOT_HW = 0.050
KEY_STEM_END = 0.66


def tile_contains(x, y, inset):
    lo, hi = inset, 1.0 - inset
    if x < lo or x > hi or y < lo or y > hi:
        return False
    r = TILE_RADIUS * (hi - lo)
    cx = min(max(x, lo + r), hi - r)
    cy = min(max(y, lo + r), hi - r)
    dx, dy = x - cx, y - cy
    return dx * dx + dy * dy <= r * r


def shield_half_width(y):
    """Half width of the shield body at height y (ignoring the top edge)."""
    if y <= SHIELD_SHOULDER:
        return SHIELD_HALF_W
    t = (y - SHIELD_SHOULDER) / (SHIELD_TIP - SHIELD_SHOULDER)
    if t >= 1.0:
        return 0.0
    return SHIELD_HALF_W * (1.0 - t ** SHIELD_CURVE_EXP)


def shield_top(x, dip):
    """y of the top edge at horizontal offset x from the centre line."""
    u = min(abs(x) / SHIELD_HALF_W, 1.0)
    return SHIELD_TOP + dip * (1.0 - u * u)


def shield_contains(x, y, dip):
    dx = x - SHIELD_CX
    ax = abs(dx)
    if y > SHIELD_TIP or ax > shield_half_width(y) or y < shield_top(dx, dip):
        return False
    # Round the two upper corners.
    r = SHIELD_CORNER_R
    ccx = SHIELD_HALF_W - r
    ccy = SHIELD_TOP + r
    if ax > ccx and y < ccy:
        ex, ey = ax - ccx, y - ccy
        return ex * ex + ey * ey <= r * r
    return True


def keyhole_contains(x, y):
    dx = x - SHIELD_CX
    dy = y - KEY_CY
    if dx * dx + dy * dy <= KEY_R * KEY_R:
        return True
    if KEY_CY <= y <= KEY_STEM_END:
        t = (y - KEY_CY) / (KEY_STEM_END - KEY_CY)
        return abs(dx) <= KEY_TOP_HW + (KEY_BOT_HW - KEY_TOP_HW) * t
    return False


def sample(x, y, inset, detailed):
    """Colour at one sample point, or None when outside the tile.

    The simplified (not detailed) variant used at 16 px has a straight top
    edge that falls on a pixel boundary, no keyhole and no shading, so the
    shield stays crisp and high-contrast at that size.
    """
    if not tile_contains(x, y, inset):
        return None
    if shield_contains(x, y, SHIELD_DIP if detailed else 0.0):
        if not detailed:
            return SHIELD_LIGHT
        if keyhole_contains(x, y):
            return KEYHOLE
        return SHIELD_LIGHT if x < SHIELD_CX else SHIELD_SHADE
    return TILE


def render(size):
    """Return the image as rows of RGBA bytes (non-premultiplied)."""
    inset = TILE_INSET[size]
    detailed = size >= 32
    n = SUPERSAMPLE
    total = n * n
    offsets = [(i + 0.5) / n for i in range(n)]
    rows = []
    for py in range(size):
        row = bytearray()
        for px in range(size):
            r = g = b = hits = 0
            for oy in offsets:
                y = (py + oy) / size
                for ox in offsets:
                    c = sample((px + ox) / size, y, inset, detailed)
                    if c is not None:
                        r += c[0]
                        g += c[1]
                        b += c[2]
                        hits += 1
            if hits == 0:
                row += b"\0\0\0\0"
            else:
                half = hits // 2
                row += bytes((
                    (r + half) // hits,
                    (g + half) // hits,
                    (b + half) // hits,
                    (hits * 255 + total // 2) // total,
                ))
        rows.append(bytes(row))
    return rows


# --- PNG encoding -----------------------------------------------------------

def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    if pb <= pc:
        return b
    return c


def _filter_row(ftype, row, prev, bpp=4):
    out = bytearray(len(row))
    for i, v in enumerate(row):
        a = row[i - bpp] if i >= bpp else 0
        b = prev[i]
        c = prev[i - bpp] if i >= bpp else 0
        if ftype == 0:
            p = 0
        elif ftype == 1:
            p = a
        elif ftype == 2:
            p = b
        elif ftype == 3:
            p = (a + b) >> 1
        else:
            p = _paeth(a, b, c)
        out[i] = (v - p) & 0xFF
    return bytes(out)


def _scanlines(rows, strategy):
    """Filtered image data; strategy is a filter type or 'adaptive'."""
    prev = bytes(len(rows[0]))
    data = bytearray()
    for row in rows:
        if strategy == "adaptive":
            best = None
            for ftype in range(5):
                filtered = _filter_row(ftype, row, prev)
                score = sum(v if v < 128 else 256 - v for v in filtered)
                if best is None or score < best[0]:
                    best = (score, ftype, filtered)
            _, ftype, filtered = best
        else:
            ftype = strategy
            filtered = _filter_row(ftype, row, prev)
        data.append(ftype)
        data += filtered
        prev = row
    return bytes(data)


def _chunk(kind, payload):
    body = kind + payload
    return struct.pack(">I", len(payload)) + body + struct.pack(
        ">I", zlib.crc32(body) & 0xFFFFFFFF)


def encode_png(rows):
    height = len(rows)
    width = len(rows[0]) // 4
    # Try a few whole-image filter strategies and keep the smallest stream.
    best = None
    for strategy in (0, 1, 2, 3, 4, "adaptive"):
        z = zlib.compress(_scanlines(rows, strategy), ZLIB_LEVEL)
        if best is None or len(z) < len(best):
            best = z
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + _chunk(b"IHDR", ihdr)
            + _chunk(b"IDAT", best) + _chunk(b"IEND", b""))


def recompress(png):
    """The same image in fewer bytes: zopflipng -m, lossless."""
    zopflipng = shutil.which("zopflipng")
    if zopflipng is None:
        raise SystemExit("make_icon.py: zopflipng is missing (Debian: apt-get install zopfli)")
    with tempfile.TemporaryDirectory() as folder:
        source, target = os.path.join(folder, "in.png"), os.path.join(folder, "out.png")
        with open(source, "wb") as f:
            f.write(png)
        # A fresh output path: zopflipng keeps an existing output file that is smaller.
        subprocess.run([zopflipng, "-m", "-y", source, target], check=True,
                       stdout=subprocess.DEVNULL)
        if not os.path.exists(target):  # nothing smaller found
            return png
        with open(target, "rb") as f:
            return f.read()


# --- ICO container ------------------------------------------------------------

def encode_ico(images):
    """images: list of (size, png_bytes); every entry stores PNG data."""
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries = bytearray()
    blobs = bytearray()
    for size, png in images:
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32,
                               len(png), offset)
        blobs += png
        offset += len(png)
    return header + bytes(entries) + bytes(blobs)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    images = []
    for size in SIZES:
        png = recompress(encode_png(render(size)))
        path = os.path.join(here, "%s-%d.png" % (BASENAME, size))
        with open(path, "wb") as f:
            f.write(png)
        images.append((size, png))
    with open(os.path.join(here, BASENAME + ".ico"), "wb") as f:
        f.write(encode_ico(images))


if __name__ == "__main__":
    main()
