#!/usr/bin/env python3
"""Draws the busy indicator, loading.gif: eight dots on a ring, a blue one running round with a
fading trail, on a transparent background (grey and blue read on light and dark pages alike).

Usage: loading.py OUT.gif"""
import math
import struct
import sys

SIZE = 48            # pixels; shown at 24 CSS pixels
FRAMES = 8
DELAY_CS = 10        # per frame, in hundredths of a second
DOTS = 8
ACCENT = (0x2F, 0x6F, 0xDE)
GREY = (0xA4, 0xAC, 0xBB)
TRAIL = [1.0, 0.55, 0.25]


def mix(a, b, t):
    return tuple(round(a[i] * t + b[i] * (1 - t)) for i in range(3))


def frame(step, palette):
    """Palette indices of one frame (0 is transparent)."""
    pixels = bytearray(SIZE * SIZE)
    ring = SIZE * 0.34
    radius = SIZE * 0.085
    for d in range(DOTS):
        age = (step - d) % DOTS
        colour = mix(ACCENT, GREY, TRAIL[age]) if age < len(TRAIL) else GREY
        index = palette.index(colour) + 1
        angle = 2 * math.pi * d / DOTS - math.pi / 2
        cx = SIZE / 2 + ring * math.cos(angle)
        cy = SIZE / 2 + ring * math.sin(angle)
        for y in range(int(cy - radius - 1), int(cy + radius + 2)):
            for x in range(int(cx - radius - 1), int(cx + radius + 2)):
                if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= radius * radius:
                    pixels[y * SIZE + x] = index
    return pixels


def lzw(pixels, min_code_size):
    """GIF LZW with a fresh table whenever it fills, packed into sub-blocks."""
    clear, end = 1 << min_code_size, (1 << min_code_size) + 1
    out, acc, bits = bytearray(), 0, 0

    def emit(code, width):
        nonlocal acc, bits
        acc |= code << bits
        bits += width
        while bits >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            bits -= 8

    def fresh():
        return {bytes([i]): i for i in range(clear)}, end + 1, min_code_size + 1

    table, next_code, width = fresh()
    emit(clear, width)
    current = b""
    for p in pixels:
        candidate = current + bytes([p])
        if candidate in table:
            current = candidate
            continue
        emit(table[current], width)
        if next_code == 4096:
            emit(clear, width)
            table, next_code, width = fresh()
        else:
            table[candidate] = next_code
            next_code += 1
            if next_code > (1 << width) and width < 12:
                width += 1
        current = bytes([p])
    if current:
        emit(table[current], width)
    emit(end, width)
    if bits:
        out.append(acc & 0xFF)
    blocks = bytearray()
    for i in range(0, len(out), 255):
        chunk = out[i:i + 255]
        blocks += bytes([len(chunk)]) + chunk
    return bytes(blocks) + b"\x00"


def main():
    palette = [mix(ACCENT, GREY, t) for t in TRAIL] + [GREY]
    table = [(0, 0, 0)] + palette
    table += [(0, 0, 0)] * (8 - len(table))
    gif = bytearray(b"GIF89a")
    gif += struct.pack("<HHBBB", SIZE, SIZE, 0xF2, 0, 0)       # global table of 8 colours
    for c in table:
        gif += bytes(c)
    gif += b"\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00"      # loop for ever
    for step in range(FRAMES):
        gif += b"\x21\xF9\x04" + struct.pack("<BHBB", 0x09, DELAY_CS, 0, 0)  # restore, index 0 clear
        gif += b"\x2C" + struct.pack("<HHHHB", 0, 0, SIZE, SIZE, 0)
        gif += b"\x03" + lzw(frame(step, palette), 3)
    gif += b"\x3B"
    with open(sys.argv[1], "wb") as f:
        f.write(gif)


if __name__ == "__main__":
    main()
