#!/usr/bin/env python3
"""Reads a rectangle of an X display the way the person in front of it sees it, for the acceptance
run: under Wine, GDI reads what Direct3D draws into a child window as black, while the X server
holds the real picture. Writes the rectangle as PNG and prints, for each of the host's test
patches, the share of the rectangle showing it and its centre (in the rectangle's coordinates).

    xgrab.py DISPLAY X Y WIDTH HEIGHT OUT.png [--min PERCENT]

Exits 0 when every patch covers at least --min percent (default 10), 1 otherwise, 2 when the
display cannot be read.
"""
import ctypes
import struct
import sys
import zlib

PATCHES = [("red", (220, 40, 40)), ("green", (40, 180, 60)), ("blue", (40, 70, 220)), ("yellow", (240, 210, 40))]
TOLERANCE = 40  # per channel, as the driver's own reading


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.POINTER(ctypes.c_ubyte)),
                ("byte_order", ctypes.c_int), ("bitmap_unit", ctypes.c_int),
                ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int), ("depth", ctypes.c_int),
                ("bytes_per_line", ctypes.c_int), ("bits_per_pixel", ctypes.c_int)]


def grab(display_name, x, y, w, h):
    x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XDefaultRootWindow.restype = ctypes.c_ulong
    x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x11.XGetImage.restype = ctypes.POINTER(XImage)
    x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                              ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    x11.XDestroyImage = None  # a macro; the image is left to the process's end
    display = x11.XOpenDisplay(display_name.encode())
    if not display:
        return None
    try:
        root = x11.XDefaultRootWindow(display)
        image = x11.XGetImage(display, root, x, y, w, h, 0xFFFFFFFF, 2)  # ZPixmap
        if not image:
            return None
        img = image.contents
        if img.bits_per_pixel != 32:
            return None
        raw = ctypes.string_at(img.data, img.bytes_per_line * h)
        rows = []
        for row in range(h):
            line = raw[row * img.bytes_per_line: row * img.bytes_per_line + w * 4]
            rgb = bytearray(w * 3)
            rgb[0::3] = line[2::4]
            rgb[1::3] = line[1::4]
            rgb[2::3] = line[0::4]
            rows.append(bytes(rgb))
        return rows
    finally:
        x11.XCloseDisplay(display)


def write_png(path, rows, w, h):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    raw = b"".join(b"\0" + r for r in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def main():
    args = sys.argv[1:]
    minimum = 10.0
    if "--min" in args:
        i = args.index("--min")
        minimum = float(args[i + 1])
        del args[i:i + 2]
    display_name, x, y, w, h, out = args[0], int(args[1]), int(args[2]), int(args[3]), int(args[4]), args[5]
    rows = grab(display_name, x, y, w, h)
    if rows is None:
        print("error: cannot read display " + display_name)
        return 2
    write_png(out, rows, w, h)
    ok = True
    step = 2  # every other pixel each way is plenty for quarter-screen patches
    total = ((w + step - 1) // step) * ((h + step - 1) // step)
    for name, (r, g, b) in PATCHES:
        n = sx = sy = 0
        for yy in range(0, h, step):
            row = rows[yy]
            for xx in range(0, w, step):
                i = xx * 3
                if abs(row[i] - r) <= TOLERANCE and abs(row[i + 1] - g) <= TOLERANCE and abs(row[i + 2] - b) <= TOLERANCE:
                    n += 1
                    sx += xx
                    sy += yy
        share = 100.0 * n / total
        print("%s: %.1f%% at %d %d" % (name, share, sx // n if n else -1, sy // n if n else -1))
        ok = ok and share >= minimum
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
