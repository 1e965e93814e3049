#!/usr/bin/env python3
"""Draws the preview pictures of the sample pack's options (demo/Options/.../Preview.png).

Each picture is a small sketch of the game screen with the option's look: a chat window in its
style, or health bars in their colours. Run it again after changing a sketch; the PNGs are
committed, so building does not need it.
"""
import os
import struct
import zlib

W, H = 240, 135
HERE = os.path.dirname(os.path.abspath(__file__))
OPTIONS = os.path.join(HERE, "..", "demo", "Options")


def png(pixels):
    rows = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in pixels)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", W, H, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def scene():
    """A dusk landscape: sky, hills, ground."""
    pixels = []
    for y in range(H):
        row = []
        for x in range(W):
            if y < 80 - int(10 * ((x / W - 0.5) ** 2) * 4):
                t = y / 80
                row.append((int(40 + 60 * t), int(50 + 70 * t), int(90 + 60 * t)))
            else:
                row.append((40, 70 + (x * 7 + y * 3) % 9, 45))
        pixels.append(row)
    return pixels


def box(pixels, x0, y0, x1, y1, colour, alpha=1.0):
    for y in range(max(0, y0), min(H, y1)):
        for x in range(max(0, x0), min(W, x1)):
            old = pixels[y][x]
            pixels[y][x] = tuple(int(o * (1 - alpha) + c * alpha) for o, c in zip(old, colour))


def chat(style):
    p = scene()
    if style == "Classic":
        x0, y0, x1, y1, alpha, lines = 8, 62, 150, 128, 0.92, 6
    elif style == "Compact":
        x0, y0, x1, y1, alpha, lines = 8, 92, 110, 128, 0.92, 3
    else:  # Transparent
        x0, y0, x1, y1, alpha, lines = 8, 62, 150, 128, 0.35, 6
    box(p, x0, y0, x1, y1, (20, 20, 28), alpha)
    box(p, x0, y0, x1, y0 + 2, (180, 150, 80), alpha)  # title rule
    for i in range(lines):
        y = y0 + 6 + i * 10
        colour = [(220, 220, 220), (120, 200, 255), (255, 210, 120)][i % 3]
        box(p, x0 + 4, y, x0 + 4 + (x1 - x0 - 12) * (3 + (i * 5) % 5) // 8, y + 3, colour)
    return p


def bars(colours):
    p = scene()
    box(p, 6, 6, 96, 44, (15, 15, 20), 0.85)
    for i, (colour, fill) in enumerate(zip(colours, (0.9, 0.6, 0.35))):
        y = 10 + i * 11
        box(p, 10, y, 92, y + 7, (50, 50, 50))
        box(p, 10, y, 10 + int(82 * fill), y + 7, colour)
    return p


PICTURES = {
    "Chat Window/Classic": chat("Classic"),
    "Chat Window/Compact": chat("Compact"),
    "Chat Window/Transparent": chat("Transparent"),
    "Health Bars/Colours/Cool/Blue": bars([(60, 110, 230), (90, 150, 255), (150, 190, 255)]),
    "Health Bars/Colours/Cool/Teal": bars([(20, 160, 150), (60, 200, 190), (130, 230, 220)]),
    "Health Bars/Colours/Warm/Amber": bars([(230, 160, 30), (250, 190, 60), (255, 220, 120)]),
    "Health Bars/Colours/Warm/Red Orange": bars([(220, 60, 30), (245, 110, 40), (255, 160, 90)]),
    "Health Bars/Experimental": bars([(200, 60, 200), (60, 220, 90), (240, 240, 70)]),
    "Health Bars/Extras/Forum Thread": chat("Compact"),
}

for folder, pixels in PICTURES.items():
    path = os.path.join(OPTIONS, folder, "Preview.png")
    with open(path, "wb") as f:
        f.write(png(pixels))
    print(path, os.path.getsize(path), "bytes")
