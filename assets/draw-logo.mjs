// Draws the program's logo, a white "N" on a green rounded tile: as a 64 x 64
// RGBA PNG, with the C++ header that carries its Base64 for the status
// documents, and as the Windows program's icon (16, 32, 48 and 256 px in one
// .ico). Run from anywhere: node assets/draw-logo.mjs
import { deflateSync } from 'node:zlib';
import { writeFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import { dirname, join } from 'node:path';

// The shapes below are laid out on a 64 x 64 grid; other sizes scale it.
const grid = 64;

const green = [0x00, 0xcc, 0x66];
const shade = [0x00, 0xa3, 0x52]; // the tile's lower lip, so it reads as a block
const white = [0xff, 0xff, 0xff];

function inRoundedRect(x, y, left, top, right, bottom, radius) {
  const cx = Math.min(Math.max(x, left + radius), right - radius);
  const cy = Math.min(Math.max(y, top + radius), bottom - radius);
  return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2 && x >= left && x <= right && y >= top && y <= bottom;
}

// Distance from (x, y) to the segment a-b.
function segmentDistance(x, y, ax, ay, bx, by) {
  const dx = bx - ax;
  const dy = by - ay;
  const t = Math.min(Math.max(((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy), 0), 1);
  return Math.hypot(x - (ax + t * dx), y - (ay + t * dy));
}

function inLetter(x, y) {
  const top = 15;
  const bottom = 49;
  const stem = 9;
  if (y < top || y > bottom)
    return false;
  if ((x >= 16 && x <= 16 + stem) || (x >= 48 - stem && x <= 48))
    return true;
  return x >= 16 && x <= 48 && segmentDistance(x, y, 20.5, top + 3, 43.5, bottom - 3) <= 5.2;
}

function sample(x, y) {
  if (!inRoundedRect(x, y, 2, 2, 62, 62, 11))
    return null;
  if (inLetter(x, y))
    return white;
  return inRoundedRect(x, y, 2, 2, 62, 57, 11) ? green : shade;
}

// RGBA pixels of the logo at size x size. At least 4 x 4 samples per pixel,
// and at least 16 x 16 per grid square, smooth the edges at every size.
function draw(size) {
  const scale = grid / size;
  const oversample = Math.max(4, Math.ceil(256 / size));
  const pixels = Buffer.alloc(size * size * 4);
  for (let py = 0; py < size; py++) {
    for (let px = 0; px < size; px++) {
      let r = 0, g = 0, b = 0, covered = 0;
      for (let sy = 0; sy < oversample; sy++) {
        for (let sx = 0; sx < oversample; sx++) {
          const colour = sample((px + (sx + 0.5) / oversample) * scale, (py + (sy + 0.5) / oversample) * scale);
          if (colour) {
            r += colour[0];
            g += colour[1];
            b += colour[2];
            covered++;
          }
        }
      }
      const at = (py * size + px) * 4;
      if (covered > 0) {
        pixels[at] = Math.round(r / covered);
        pixels[at + 1] = Math.round(g / covered);
        pixels[at + 2] = Math.round(b / covered);
        pixels[at + 3] = Math.round((255 * covered) / (oversample * oversample));
      }
    }
  }
  return pixels;
}

function paeth(a, b, c) {
  const p = a + b - c;
  const pa = Math.abs(p - a), pb = Math.abs(p - b), pc = Math.abs(p - c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

const crcTable = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++)
    c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});

function crc32(bytes) {
  let c = 0xffffffff;
  for (const byte of bytes)
    c = crcTable[(c ^ byte) & 0xff] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

function chunk(type, data) {
  const length = Buffer.alloc(4);
  length.writeUInt32BE(data.length);
  const body = Buffer.concat([Buffer.from(type, 'latin1'), data]);
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(body));
  return Buffer.concat([length, body, crc]);
}

// A PNG of size x size RGBA pixels. Each row gets the filter that leaves the
// smallest sum of bytes, the usual heuristic for a small file.
function encodePng(pixels, size) {
  const stride = size * 4;
  const filtered = Buffer.alloc(size * (stride + 1));
  for (let y = 0; y < size; y++) {
    const row = pixels.subarray(y * stride, (y + 1) * stride);
    const above = y > 0 ? pixels.subarray((y - 1) * stride, y * stride) : Buffer.alloc(stride);
    let best = null;
    for (let type = 0; type < 5; type++) {
      const out = Buffer.alloc(stride);
      for (let i = 0; i < stride; i++) {
        const a = i >= 4 ? row[i - 4] : 0;
        const b = above[i];
        const c = i >= 4 ? above[i - 4] : 0;
        const predictor = [0, a, b, (a + b) >> 1, paeth(a, b, c)][type];
        out[i] = (row[i] - predictor) & 0xff;
      }
      const cost = out.reduce((sum, v) => sum + (v < 128 ? v : 256 - v), 0);
      if (!best || cost < best.cost)
        best = { type, out, cost };
    }
    filtered[y * (stride + 1)] = best.type;
    best.out.copy(filtered, y * (stride + 1) + 1);
  }

  const header = Buffer.alloc(13);
  header.writeUInt32BE(size, 0);
  header.writeUInt32BE(size, 4);
  header[8] = 8; // bits per channel
  header[9] = 6; // RGBA
  return Buffer.concat([
    Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    chunk('IHDR', header),
    chunk('IDAT', deflateSync(filtered, { level: 9, memLevel: 9 })),
    chunk('IEND', Buffer.alloc(0)),
  ]);
}

// An .ico of the given sizes: 32-bit bitmaps with their transparency mask,
// and a PNG for 256 px, as Windows keeps its large icons.
function encodeIco(sizes) {
  const images = sizes.map((size) => {
    const pixels = draw(size);
    if (size >= 256)
      return encodePng(pixels, size);
    const maskStride = Math.ceil(size / 32) * 4;
    const image = Buffer.alloc(40 + size * size * 4 + size * maskStride);
    image.writeUInt32LE(40, 0); // BITMAPINFOHEADER
    image.writeInt32LE(size, 4);
    image.writeInt32LE(size * 2, 8); // colour rows and mask rows
    image.writeUInt16LE(1, 12);
    image.writeUInt16LE(32, 14);
    image.writeUInt32LE(size * size * 4 + size * maskStride, 20);
    for (let y = 0; y < size; y++) {
      const row = size - 1 - y; // bottom-up
      for (let x = 0; x < size; x++) {
        const from = (y * size + x) * 4;
        const to = 40 + (row * size + x) * 4;
        image[to] = pixels[from + 2];
        image[to + 1] = pixels[from + 1];
        image[to + 2] = pixels[from];
        image[to + 3] = pixels[from + 3];
        if (pixels[from + 3] === 0)
          image[40 + size * size * 4 + row * maskStride + (x >> 3)] |= 0x80 >> (x & 7);
      }
    }
    return image;
  });
  const directory = Buffer.alloc(6 + 16 * sizes.length);
  directory.writeUInt16LE(1, 2); // type: icon
  directory.writeUInt16LE(sizes.length, 4);
  let offset = directory.length;
  sizes.forEach((size, n) => {
    const entry = 6 + 16 * n;
    directory[entry] = size & 0xff; // 0 stands for 256
    directory[entry + 1] = size & 0xff;
    directory.writeUInt16LE(1, entry + 4); // planes
    directory.writeUInt16LE(32, entry + 6); // bits per pixel
    directory.writeUInt32LE(images[n].length, entry + 8);
    directory.writeUInt32LE(offset, entry + 12);
    offset += images[n].length;
  });
  return Buffer.concat([directory, ...images]);
}

const png = encodePng(draw(64), 64);
const here = dirname(fileURLToPath(import.meta.url));
writeFileSync(join(here, 'logo.png'), png);

const base64 = png.toString('base64');
const lines = base64.match(/.{1,100}/g).map((line) => `    "${line}"`).join('\n');
writeFileSync(
  join(here, '..', 'src', 'game', 'logo.h'),
  `// Generated by assets/draw-logo.mjs from assets/logo.png; do not edit.
// The program's logo, a 64 x 64 RGBA PNG, in standard Base64.
#pragma once

inline constexpr char logo_base64[] =
${lines};
`,
);
const ico = encodeIco([16, 32, 48, 256]);
writeFileSync(join(here, 'logo.ico'), ico);
console.log(`logo.png: ${png.length} bytes, Base64 ${base64.length} characters; logo.ico: ${ico.length} bytes`);
