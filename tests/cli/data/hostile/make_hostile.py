#!/usr/bin/env python3
"""Writes the hostile and damaged input files next to this script.

Every file is built byte by byte here (Python's standard library only), so running
the script again reproduces them exactly. Each one must be refused by tonemap
without allocating for the image it claims to hold; the expected messages are in
tests/cli/test_hostile_inputs_e2e.cpp.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def save(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


def gradient16(width, height, channels):
    """Smooth 16-bit samples, row-major, interleaved: they deflate well."""
    return [(y * 256 + (x // 64) * 4 + c * 4096) & 0xFFFF
            for y in range(height) for x in range(width) for c in range(channels)]


# ---------------------------------------------------------------- OpenEXR

EXR_COMPRESSION = {"none": 0, "zip": 3}


def exr_attribute(name, kind, value):
    return name.encode() + b"\0" + kind.encode() + b"\0" + struct.pack("<i", len(value)) + value


def exr_header(width, height, compression, tile=None):
    """Half-float B, G, R channels (alphabetical, as the format stores them)."""
    channels = b"".join(c + b"\0" + struct.pack("<iB3xii", 1, 0, 1, 1) for c in (b"B", b"G", b"R")) + b"\0"
    box = struct.pack("<iiii", 0, 0, width - 1, height - 1)
    attributes = (exr_attribute("channels", "chlist", channels)
                  + exr_attribute("compression", "compression", bytes([EXR_COMPRESSION[compression]]))
                  + exr_attribute("dataWindow", "box2i", box)
                  + exr_attribute("displayWindow", "box2i", box)
                  + exr_attribute("lineOrder", "lineOrder", b"\0")
                  + exr_attribute("pixelAspectRatio", "float", struct.pack("<f", 1.0))
                  + exr_attribute("screenWindowCenter", "v2f", struct.pack("<ff", 0.0, 0.0))
                  + exr_attribute("screenWindowWidth", "float", struct.pack("<f", 1.0)))
    flags = 2
    if tile:
        attributes += exr_attribute("tiles", "tiledesc", struct.pack("<IIB", tile, tile, 0))
        flags |= 0x200
    return struct.pack("<ii", 20000630, flags) + attributes + b"\0"


def exr_zip(raw):
    """The format's ZIP chunk: bytes split into even and odd halves, delta coded, deflated."""
    split = raw[0::2] + raw[1::2]
    coded = bytearray(split)
    for i in range(len(split) - 1, 0, -1):
        coded[i] = (split[i] - split[i - 1] + 128) & 0xFF
    return zlib.compress(bytes(coded), 9)


def exr_rows(width, y0, y1):
    """Rows y0..y1-1 of a half-float gradient, each row's channels one after another."""
    out = b""
    for y in range(y0, y1):
        for c in range(3):
            out += b"".join(struct.pack("<e", 0.01 * (x + y + 40 * c) + 0.5) for x in range(width))
    return out


def exr_scanline_zip(width, height):
    header = exr_header(width, height, "zip")
    chunks = []
    for y in range(0, height, 16):
        data = exr_zip(exr_rows(width, y, min(height, y + 16)))
        chunks.append(struct.pack("<ii", y, len(data)) + data)
    return header, chunks


def exr_tiled_zip(width, height, tile):
    header = exr_header(width, height, "zip", tile)
    chunks = []
    for ty in range(0, height // tile):
        for tx in range(0, width // tile):
            rows = b""
            for y in range(ty * tile, (ty + 1) * tile):
                for c in range(3):
                    rows += b"".join(struct.pack("<e", 0.01 * (x + y + 40 * c) + 0.5)
                                     for x in range(tx * tile, (tx + 1) * tile))
            data = exr_zip(rows)
            chunks.append(struct.pack("<iiiii", tx, ty, 0, 0, len(data)) + data)
    return header, chunks


def exr_file(header, chunks):
    offsets, position = [], len(header) + 8 * len(chunks)
    for chunk in chunks:
        offsets.append(position)
        position += len(chunk)
    return header + b"".join(struct.pack("<Q", o) for o in offsets) + b"".join(chunks)


# 11000 x 11000 ZIP scanlines: a table of 688 chunk offsets, all beyond the end of
# the file, and no pixel data.
header = exr_header(11000, 11000, "zip")
save("exr-huge-declared.exr",
     header + b"".join(struct.pack("<Q", 1 << 30) for _ in range((11000 + 15) // 16)))

# A sound 128 x 128 ZIP file cut in the middle of its pixel data.
whole = exr_file(*exr_scanline_zip(128, 128))
save("exr-scanlines-cut.exr", whole[: len(whole) * 2 // 3])

# A sound 128 x 128 file of 32 x 32 ZIP tiles, cut likewise.
whole = exr_file(*exr_tiled_zip(128, 128, 32))
save("exr-tiles-cut.exr", whole[: len(whole) * 2 // 3])


# ---------------------------------------------------------------- TIFF

def tiff_directory(fields):
    """Header and the one image file directory; fields: (tag, type, values), type 3
    SHORT or 4 LONG."""
    fields = sorted(fields)
    directory, extra = struct.pack("<H", len(fields)), b""
    extra_start = 8 + 2 + 12 * len(fields) + 4
    for tag, kind, values in fields:
        packed = b"".join(struct.pack("<H" if kind == 3 else "<I", v) for v in values)
        if len(packed) <= 4:
            directory += struct.pack("<HHI", tag, kind, len(values)) + packed.ljust(4, b"\0")
        else:
            directory += struct.pack("<HHII", tag, kind, len(values), extra_start + len(extra))
            extra += packed + (b"\0" if len(packed) % 2 else b"")
    return b"II*\0" + struct.pack("<I", 8) + directory + struct.pack("<I", 0) + extra


def tiff_file(width, height, channels, compression, pieces, tile=None, rows_per_strip=None,
              predictor=1, declared=None):
    """Little-endian 16-bit TIFF, contiguous samples, `pieces` the stored strips or
    tiles. `declared` replaces their (offset, byte count) pairs when set."""
    fields = [(256, 4, [width]), (257, 4, [height]), (258, 3, [16] * channels), (259, 3, [compression]),
              (262, 3, [2 if channels >= 3 else 1]), (277, 3, [channels]), (284, 3, [1]),
              (339, 3, [1] * channels)]
    if predictor != 1:
        fields.append((317, 3, [predictor]))

    def with_layout(start):
        pairs = declared
        if pairs is None:
            pairs, position = [], start
            for piece in pieces:
                pairs.append((position, len(piece)))
                position += len(piece)
        offsets, counts = [o for o, _ in pairs], [c for _, c in pairs]
        if tile:
            return fields + [(322, 4, [tile]), (323, 4, [tile]), (324, 4, offsets), (325, 4, counts)]
        return fields + [(273, 4, offsets), (278, 4, [rows_per_strip]), (279, 4, counts)]

    # The directory's length does not depend on the offsets' values.
    start = len(tiff_directory(with_layout(0)))
    return tiff_directory(with_layout(start)) + b"".join(pieces)


def samples16(values):
    return struct.pack("<%dH" % len(values), *values)


def zip_strips(width, height, channels, rows):
    pixels = gradient16(width, height, channels)
    per_strip = width * channels * rows
    return [zlib.compress(samples16(pixels[i:i + per_strip]), 9) for i in range(0, len(pixels), per_strip)]


# The case: 11000 x 11000 RGB, uncompressed, 172 strips of 64 rows, every
# one said to lie beyond the end of the file.
strips = (11000 + 63) // 64
save("tiff-huge-declared.tif",
     tiff_file(11000, 11000, 3, 1, [], rows_per_strip=64, declared=[(1 << 30, 11000 * 64 * 6)] * strips))

# Deflated strips whose byte counts fit the file, but one stream stops short: the
# library's strip reader used to fill the missing rows with black and succeed.
strips = zip_strips(128, 128, 3, 16)
strips[3] = strips[3][: len(strips[3]) // 2]
save("tiff-strip-stream-cut.tif", tiff_file(128, 128, 3, 8, strips, rows_per_strip=16))

# A sound file of deflated strips, cut off in the middle of its pixel data.
whole = tiff_file(128, 128, 3, 8, zip_strips(128, 128, 3, 16), rows_per_strip=16)
save("tiff-strips-cut.tif", whole[: len(whole) * 2 // 3])

# 32 x 32 deflated tiles with the horizontal predictor (the library's parallel tile
# path), one tile's stream stopping short.
pixels = gradient16(128, 128, 3)
tiles = []
for ty in range(4):
    for tx in range(4):
        tile = []
        for y in range(ty * 32, ty * 32 + 32):
            row = pixels[(y * 128 + tx * 32) * 3:(y * 128 + tx * 32 + 32) * 3]
            tile += [row[i] if i < 3 else (row[i] - row[i - 3]) & 0xFFFF for i in range(len(row))]
        tiles.append(zlib.compress(samples16(tile), 9))
tiles[9] = tiles[9][: len(tiles[9]) // 2]
save("tiff-tile-stream-cut.tif", tiff_file(128, 128, 3, 8, tiles, tile=32, predictor=2))

# 131000 x 131000 grey in a codec with no known bound (an unassigned compression
# number): the file could hold it, but the samples and the render's working memory
# take 288 GiB. (The image library itself refuses images above 32 GiB of samples.)
save("tiff-too-large-for-memory.tif",
     tiff_file(131000, 131000, 1, 65000, [b"\0" * 16], rows_per_strip=131000))


# ---------------------------------------------------------------- Radiance HDR

def hdr_header(width, height):
    return b"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y %d +X %d\n" % (height, width)


def hdr_rle_row(width, y):
    """One run-length encoded row: 4 byte planes, each in runs of up to 127 equal
    bytes (a count above 128, then the byte)."""
    pixels = [(100 + (x // 16 + y) % 50, 120, 90 + x // 32, 128) for x in range(width)]
    out = bytes([2, 2, width >> 8, width & 0xFF])
    for plane in range(4):
        values = bytes(p[plane] for p in pixels)
        i = 0
        while i < width:
            run = 1
            while i + run < width and run < 127 and values[i + run] == values[i]:
                run += 1
            out += bytes([128 + run, values[i]])
            i += run
    return out


save("hdr-huge-declared.hdr", hdr_header(11000, 11000) + hdr_rle_row(16, 0))
whole = hdr_header(128, 128) + b"".join(hdr_rle_row(128, y) for y in range(128))
save("hdr-cut.hdr", whole[: len(whole) * 2 // 3])


# ---------------------------------------------------------------- PNG

def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png_file(width, height, idat):
    ihdr = struct.pack(">IIBBBBB", width, height, 16, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) + png_chunk(b"IDAT", idat)
            + png_chunk(b"IEND", b""))


save("png-huge-declared.png", png_file(11000, 11000, zlib.compress(b"\0" * 1000)))
pixels = gradient16(128, 128, 3)
raw = b"".join(b"\0" + struct.pack(">384H", *pixels[y * 384:(y + 1) * 384]) for y in range(128))
whole = png_file(128, 128, zlib.compress(raw, 9))
save("png-cut.png", whole[: len(whole) // 2])


# ---------------------------------------------------------------- Netpbm and PFM

def floats(count):
    return struct.pack("<%df" % count, *[0.25 + 0.001 * i for i in range(count)])


save("pfm-grey-header-rgb-data.pfm", b"Pf\n16 16\n-1.0\n" + floats(16 * 16 * 3))
save("ppm-cut.ppm", b"P6\n32 32\n65535\n" + samples16(gradient16(32, 32, 3))[:4000])
save("pgm-huge-declared.pgm", b"P5\n2000000000 2000000000\n65535\n\0\0")
save("ppm-trailing-data.ppm", b"P6\n8 8\n65535\n" + b"\x12\x34" * (8 * 8 * 3) + b"more")
save("pgm-ascii-extra-samples.pgm", b"P2\n2 2\n65535\n1 2\n3 4\n5\n")
save("pgm-ascii-cut.pgm", b"P2\n4 4\n65535\n1 2 3 4\n5 6 7 8\n9\n" + b" " * 40)
