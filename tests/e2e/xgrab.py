#!/usr/bin/env python3
"""Reads a rectangle of an X display the way the person in front of it sees it, for the acceptance
run: under Wine, GDI reads what Direct3D draws into a child window as black, while the X server
holds the real picture. Writes the rectangle as PNG and prints, for each of the host's test
patches, the share of the rectangle showing it and its centre (in the rectangle's coordinates),
and the share that is not black ("lit"), which tells an unreadable picture from a wrong one.

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


class XWindowAttributes(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("width", ctypes.c_int), ("height", ctypes.c_int),
                ("border_width", ctypes.c_int), ("depth", ctypes.c_int), ("visual", ctypes.c_void_p),
                ("root", ctypes.c_ulong), ("c_class", ctypes.c_int), ("bit_gravity", ctypes.c_int),
                ("win_gravity", ctypes.c_int), ("backing_store", ctypes.c_int), ("backing_planes", ctypes.c_ulong),
                ("backing_pixel", ctypes.c_ulong), ("save_under", ctypes.c_int), ("colormap", ctypes.c_ulong),
                ("map_installed", ctypes.c_int), ("map_state", ctypes.c_int), ("all_event_masks", ctypes.c_long),
                ("your_event_mask", ctypes.c_long), ("do_not_propagate_mask", ctypes.c_long),
                ("override_redirect", ctypes.c_int), ("screen", ctypes.c_void_p)]


def windows_at(x11, display, window, ox, oy, cx, cy, depth=0, found=None):
    """Viewable windows under `window` that hold the point (cx, cy), with their origin on the
    screen, deepest last."""
    if found is None:
        found = []
    root = ctypes.c_ulong()
    parent = ctypes.c_ulong()
    children = ctypes.POINTER(ctypes.c_ulong)()
    count = ctypes.c_uint()
    if not x11.XQueryTree(display, window, ctypes.byref(root), ctypes.byref(parent), ctypes.byref(children),
                          ctypes.byref(count)):
        return found
    for i in range(count.value):
        child = children[i]
        attributes = XWindowAttributes()
        if not x11.XGetWindowAttributes(display, child, ctypes.byref(attributes)):
            continue
        if attributes.map_state != 2:  # IsViewable
            continue
        x, y = ox + attributes.x + attributes.border_width, oy + attributes.y + attributes.border_width
        if x <= cx < x + attributes.width and y <= cy < y + attributes.height:
            found.append((child, x, y, depth))
            windows_at(x11, display, child, x, y, cx, cy, depth + 1, found)
    if children:
        x11.XFree(children)
    return found


def image_rows(x11, display, window, x, y, w, h):
    image = x11.XGetImage(display, window, x, y, w, h, 0xFFFFFFFF, 2)  # ZPixmap
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


def all_black(rows):
    return all(not any(r) for r in rows)


def grab(display_name, x, y, w, h):
    x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
    x11.XQueryTree.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                               ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.POINTER(ctypes.c_ulong)),
                               ctypes.POINTER(ctypes.c_uint)]
    x11.XGetWindowAttributes.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(XWindowAttributes)]
    x11.XFree.argtypes = [ctypes.c_void_p]
    x11.XSetErrorHandler.argtypes = [ctypes.c_void_p]
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
        # A window that goes away between the look and the grab must not end the program.
        handler = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)(lambda d, e: 0)
        x11.XSetErrorHandler(ctypes.cast(handler, ctypes.c_void_p))
        root = x11.XDefaultRootWindow(display)
        rows = image_rows(x11, display, root, x, y, w, h)
        if rows is not None and not all_black(rows):
            return rows
        # What is drawn with OpenGL into a window of another depth reads as black from the root;
        # the window itself holds it.
        for window, wx, wy, _ in sorted(windows_at(x11, display, root, 0, 0, x + w // 2, y + h // 2),
                                        key=lambda f: -f[3]):
            inner = image_rows(x11, display, window, x - wx, y - wy, w, h)
            if inner is not None and not all_black(inner):
                return inner
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
    lit = sum(1 for yy in range(0, h, step) for xx in range(0, w, step) if max(rows[yy][xx * 3:xx * 3 + 3]) > 24)
    print("lit: %.1f%%" % (100.0 * lit / total))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
