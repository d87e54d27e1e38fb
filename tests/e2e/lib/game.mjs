// Game protocol packets built by hand, for what a library cannot send.
import { randomBytes } from 'node:crypto';

export function varint(value) {
  const out = [];
  do {
    out.push((value & 0x7f) | (value > 0x7f ? 0x80 : 0));
    value >>>= 7;
  } while (value !== 0);
  return Buffer.from(out);
}

// A packet: its parts (buffers, byte arrays or text) behind their total length.
export function frame(...parts) {
  const body = Buffer.concat(parts.map((part) => Buffer.from(part)));
  return Buffer.concat([varint(body.length), body]);
}

// A string: its UTF-8 bytes behind their length.
export const text = (value) => frame(Buffer.from(value));
export const handshake = (nextState, address = 'localhost') =>
  frame([0x00], varint(47), text(address), [0x63, 0xdd], varint(nextState));
export const statusRequest = frame([0x00]);
export const ping = frame([0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88]);
// Login Start: the name, then a UUID as newer clients send it.
export const loginStart = (name, uuid = randomBytes(16)) => frame([0x00], text(name), uuid);

// Reads the VarInt at `at`: its value and the offset behind it.
export function readVarint(buf, at = 0) {
  let value = 0;
  for (let shift = 0; ; shift += 7) {
    const byte = buf[at++];
    value |= (byte & 0x7f) << shift;
    if (!(byte & 0x80)) return [value, at];
  }
}

// The text of a login disconnect from the program: length, id 0, the JSON text.
export function loginDisconnectText(packet) {
  const [, idAt] = readVarint(packet);
  if (packet[idAt] !== 0x00) throw new Error(`not a login disconnect: ${packet.toString('hex')}`);
  const [length, textAt] = readVarint(packet, idAt + 1);
  return JSON.parse(packet.subarray(textAt, textAt + length).toString()).text;
}
