#!/usr/bin/env python3
"""Draws Wigwag's pictures and icon into assets/ (the same bytes on every run).

Run it bare to rewrite the files, or with --check to re-read them and check their shapes.
Needs only Pillow; the banner uses Liberation Sans Bold if installed, else Pillow's own font.
"""
import math
import os
import struct
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont, ImageOps

ASSETS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "assets")
BOLD_FONT = "/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf"
ICON_SIZES = (16, 24, 32, 48)
ICON_DEPTHS = (32, 8)
# The badge for the Linux desktop's icon theme: badge-<n>.png, one per size of hicolor.
THEME_SIZES = (16, 24, 32, 48, 64, 128, 256)

# A small pixel font for the web-site link: rows from the cap line down to the baseline.
GLYPHS = {
    "V": ["X...X", "X...X", "X...X", "X...X", ".X.X.", ".X.X.", "..X.."],
    "i": ["X", ".", "X", "X", "X", "X", "X"],
    "s": ["....", "....", ".XXX", "X...", ".XX.", "...X", "XXX."],
    "t": ["...", ".X.", "XXX", ".X.", ".X.", ".X.", "..X"],
    "w": [".....", ".....", "X...X", "X...X", "X.X.X", "X.X.X", ".X.X."],
    "e": ["....", "....", ".XX.", "X..X", "XXXX", "X...", ".XXX"],
    "b": ["X...", "X...", "XXX.", "X..X", "X..X", "X..X", "XXX."],
    " ": [".."] * 7,
}


# An RGB image that shades from one colour at the top to another at the bottom.
def vgradient(size, top, bottom):
    im = Image.new("RGB", size)
    for y in range(size[1]):
        t = y / max(1, size[1] - 1)
        im.paste(tuple(round(a + (b - a) * t) for a, b in zip(top, bottom)), (0, y, size[0], y + 1))
    return im


# The lettering as a greyscale mask scaled to fit inside box_w x box_h.
def text_mask(text, box_w, box_h):
    try:
        font = ImageFont.truetype(BOLD_FONT, 160)
    except OSError:
        font = ImageFont.load_default()
    left, top, right, bottom = ImageDraw.Draw(Image.new("L", (1, 1))).textbbox((0, 0), text, font)
    mask = Image.new("L", (right - left + 8, bottom - top + 8))
    ImageDraw.Draw(mask).text((4 - left, 4 - top), text, fill=255, font=font)
    mask = mask.crop(mask.getbbox())
    k = min(box_w / mask.width, box_h / mask.height)
    return mask.resize((round(mask.width * k), round(mask.height * k)), Image.Resampling.LANCZOS)


# Black with a soft grey band running diagonally through the visible middle.
def sheen(size, centre_x):
    im = Image.new("L", size)
    im.putdata([round(78 * math.exp(-(((x - centre_x) * 0.8 + (y - size[1] / 2) * 0.6) / 34) ** 2)
                      + 22 * math.exp(-((y - 3) / 10) ** 2))
                for y in range(size[1]) for x in range(size[0])])
    return im.convert("RGB")


# The 278 x 61 banner: red WIGWAG with a fading reflection, centred in the shown part.
def make_banner():
    w, h, shown_left, shown_right = 278, 61, 40, 232
    centre = (shown_left + shown_right) // 2
    im = sheen((w, h), centre).convert("RGBA")
    mask = text_mask("WIGWAG", 176, 30)
    x, y = centre - mask.width // 2, 35 - mask.height
    letters = vgradient(mask.size, (255, 84, 70), (176, 0, 0)).convert("RGBA")
    letters.putalpha(mask)
    edge = Image.new("RGBA", (mask.width + 2, mask.height + 2), (40, 0, 0, 0))
    edge.putalpha(ImageOps.expand(mask, 1).filter(ImageFilter.MaxFilter(3)))
    im.alpha_composite(edge, (x - 1, y - 1))
    im.alpha_composite(letters, (x, y))
    mirror = letters.transpose(Image.Transpose.FLIP_TOP_BOTTOM)
    fade = Image.new("L", (1, mirror.height))
    fade.putdata([round(255 * 0.43 * max(0.0, 1 - r / 22) ** 1.5) for r in range(mirror.height)])
    fade = fade.resize(mirror.size, Image.Resampling.NEAREST)
    mirror.putalpha(ImageChops.multiply(fade, mirror.getchannel("A")))
    im.alpha_composite(mirror, (x, 36))
    return im.convert("RGB")


# The 73 x 13 link picture: crisp white "Visit website" with an underline, on black.
def make_website():
    text, top = "Visit website", 2
    width = sum(len(GLYPHS[c][0]) + 1 for c in text) - 1
    im = Image.new("RGB", (73, 13))
    x = x0 = (im.width - width) // 2
    for c in text:
        for dy, row in enumerate(GLYPHS[c]):
            for dx, bit in enumerate(row):
                if bit == "X":
                    im.putpixel((x + dx, top + dy), (255, 255, 255))
        x += len(GLYPHS[c][0]) + 1
    ImageDraw.Draw(im).line([(x0, top + 9), (x0 + width - 1, top + 9)], fill=(150, 150, 150))
    return im


# Outline of a police shield, in unit coordinates, scaled about the centre.
def shield(size, scale=1.0):
    right = [(0.50, 0.03), (0.61, 0.11), (0.77, 0.06), (0.94, 0.16), (0.88, 0.31), (0.91, 0.50)]
    for i in range(1, 13):
        t = i / 12
        right.append(((1 - t) ** 2 * 0.91 + 2 * t * (1 - t) * 0.89 + t * t * 0.50,
                      (1 - t) ** 2 * 0.50 + 2 * t * (1 - t) * 0.82 + t * t * 0.97))
    pts = right + [(1 - x, y) for x, y in reversed(right[1:-1])]
    return [((0.5 + (x - 0.5) * scale) * size, (0.52 + (y - 0.52) * scale) * size) for x, y in pts]


# A five-pointed star centred at (cx, cy).
def star(cx, cy, r):
    return [(cx + (r if i % 2 == 0 else r * 0.42) * math.sin(i * math.pi / 5),
             cy - (r if i % 2 == 0 else r * 0.42) * math.cos(i * math.pi / 5)) for i in range(10)]


# The gold badge drawn large, ready to be scaled down for each icon size.
def make_badge(s=768):
    im = Image.new("RGBA", (s, s), (0, 0, 0, 0))
    ImageDraw.Draw(im).polygon(shield(s), fill=(104, 64, 8, 255))
    body = Image.new("L", (s, s))
    ImageDraw.Draw(body).polygon(shield(s, 0.9), fill=255)
    im.paste(vgradient((s, s), (255, 222, 96), (196, 134, 20)), (0, 0), body)
    draw = ImageDraw.Draw(im)
    draw.polygon(shield(s, 0.74), outline=(150, 100, 14), width=s // 40)
    draw.polygon(star(s * 0.5, s * 0.52, s * 0.25), fill=(120, 76, 10))
    draw.polygon(star(s * 0.5, s * 0.515, s * 0.2), fill=(255, 232, 130))
    shine = Image.new("L", (s, s))
    ImageDraw.Draw(shine).ellipse((s * 0.22, s * 0.13, s * 0.5, s * 0.36), fill=150)
    shine = shine.filter(ImageFilter.GaussianBlur(s / 28))
    shine = Image.composite(shine, Image.new("L", (s, s)), body)
    im.alpha_composite(Image.merge("RGBA", (shine.point(lambda v: 255),) * 3 + (shine,)))
    return im


# Packed rows turned bottom-up, each padded to a whole number of 32-bit words.
def bottom_up(raw, row, h):
    return b"".join(raw[y * row:(y + 1) * row] + b"\0" * (-row % 4) for y in reversed(range(h)))


# One BMP-format icon image: header, palette, bottom-up colour rows and the AND mask.
def dib(im, bpp):
    w, h = im.size
    opaque = im.getchannel("A").point(lambda a: 255 if a >= 128 else 0)
    mask = bottom_up(opaque.point(lambda a: 255 - a, "1").tobytes(), (w + 7) // 8, h)
    if bpp == 32:
        palette, raw, row = b"", im.tobytes("raw", "BGRA"), w * 4
    else:
        flat = Image.new("RGB", im.size)
        flat.paste(im.convert("RGB"), (0, 0), opaque)
        q = flat.quantize(256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE)
        pal = (q.getpalette() + [0] * 768)[:768]
        palette = b"".join(bytes((pal[i + 2], pal[i + 1], pal[i], 0)) for i in range(0, 768, 3))
        raw, row = q.tobytes(), w
    pixels = bottom_up(raw, row, h)
    header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, bpp, 0, len(pixels) + len(mask),
                         0, 0, 256 if bpp == 8 else 0, 0)
    return header + palette + pixels + mask


# An ICO file holding each image in every depth.
def make_ico(images):
    entries = [(im, bpp) for bpp in ICON_DEPTHS for im in images]
    blobs = [dib(im, bpp) for im, bpp in entries]
    out = struct.pack("<HHH", 0, 1, len(entries))
    offset = 6 + 16 * len(entries)
    for (im, bpp), blob in zip(entries, blobs):
        out += struct.pack("<4B2H2I", im.width, im.height, 0, 0, 1, bpp, len(blob), offset)
        offset += len(blob)
    return out + b"".join(blobs)


# Writes every asset.
def build():
    os.makedirs(ASSETS, exist_ok=True)
    for name, im in (("banner", make_banner()), ("website", make_website())):
        im.save(os.path.join(ASSETS, name + ".png"), optimize=True)
        im.save(os.path.join(ASSETS, name + ".bmp"))
    big = make_badge()
    icons = [big.resize((n, n), Image.Resampling.LANCZOS) for n in ICON_SIZES]
    icons[-1].save(os.path.join(ASSETS, "badge.png"), optimize=True)
    for n in THEME_SIZES:
        big.resize((n, n), Image.Resampling.LANCZOS).save(
            os.path.join(ASSETS, f"badge-{n}.png"), optimize=True)
    with open(os.path.join(ASSETS, "badge.ico"), "wb") as f:
        f.write(make_ico(icons))


# Re-reads the written files and reports anything out of shape.
def check():
    problems = []
    pictures = [("banner", (278, 61)), ("website", (73, 13)), ("badge", (48, 48))]
    pictures += [(f"badge-{n}", (n, n)) for n in THEME_SIZES]
    for name, size in pictures:
        with Image.open(os.path.join(ASSETS, name + ".png")) as im:
            if im.size != size or (name.startswith("badge") and im.mode != "RGBA"):
                problems.append(f"{name}.png is {im.size} {im.mode}, wanted {size}")
        if not name.startswith("badge"):
            with open(os.path.join(ASSETS, name + ".bmp"), "rb") as f:
                head = f.read(30)
            w, h, _, bits = struct.unpack_from("<iiHH", head, 18)
            if head[:2] != b"BM" or (w, abs(h), bits) != size + (24,):
                problems.append(f"{name}.bmp is {w}x{h} at {bits} bits")
    path = os.path.join(ASSETS, "badge.ico")
    with open(path, "rb") as f:
        data = f.read()
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    found = set()
    for i in range(count):
        w, h, colours, _, planes, bpp, length, at = struct.unpack_from("<4B2H2I", data, 6 + 16 * i)
        head = struct.unpack_from("<IiiHH", data, at)
        rows = (w * bpp // 8 + 3) // 4 * 4 + (w + 31) // 32 * 4
        expect = 40 + (1024 if bpp == 8 else 0) + h * rows
        if head != (40, w, 2 * h, 1, bpp) or (planes, colours, length) != (1, 0, expect):
            problems.append(f"icon entry {i} ({w}x{h}, {bpp} bits) is malformed")
        found.add((w, bpp))
    wanted = {(n, bpp) for n in ICON_SIZES for bpp in ICON_DEPTHS}
    if (reserved, kind, count) != (0, 1, 8) or found != wanted:
        problems.append(f"badge.ico holds {count} images: {sorted(found)}")
    with Image.open(path) as ico:
        problems += [f"Pillow cannot read the {n}px {bpp}-bit icon" for n, bpp in sorted(wanted)
                     if ico.ico.getimage((n, n), bpp).size != (n, n)]
    print("\n".join("problem: " + p for p in problems) or "assets look right")
    return not problems


if __name__ == "__main__":
    if sys.argv[1:] == ["--check"]:
        sys.exit(0 if check() else 1)
    build()
