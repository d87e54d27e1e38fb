// Nimbrel companion kit: lets the site's page talk to the Nimbrel Client
// program on the player's PC (ws://127.0.0.1:48026). No dependencies; an ES
// module for current browsers.
//
//   import { NimbrelCompanion } from './nimbrel-companion.js';
//   const companion = new NimbrelCompanion();
//   companion.addEventListener('record', (event) => show(event.detail));
//   companion.addEventListener('refused', (event) => explain(event.detail.reason));
//   await companion.connect();
//   companion.join({ roomName: 'Lobby', ownerName: 'Ann', nick: 'Bob', address: '203.0.113.7', port: 25565 });
//   companion.leave();
//
// Events (all are CustomEvents; the data is in `detail`):
//   open     the program greeted the page; commands may be sent now
//   record   the program's room record: on opening, and after every join or
//            leave from any page. detail: a decoded record (see decodeRecord)
//   close    the connection ended. detail: { code, wasOpen }
//   refused  the connection could not be opened. detail: { reason, permission }
//            reason 'permission-denied': the player refused this site access to
//              programs on the device (the browser's local network prompt);
//            reason 'unreachable': the program is not running, or it turned the
//              page away (an Origin other than the site's).

export const DEFAULT_URL = 'ws://127.0.0.1:48026';

export const RECORD_LENGTH_NONE = 0;
export const RECORD_LENGTH_IPV4 = 86;
export const RECORD_LENGTH_IPV6 = 98;

// Offsets and widths of the record's fields, in bytes.
export const FIELDS = Object.freeze({
  siteData: { offset: 0, size: 16 },
  roomName: { offset: 16, size: 32 },
  ownerName: { offset: 48, size: 16 },
  nick: { offset: 64, size: 16 },
  address: { offset: 80 },
});

// Every byte of the address field, the port's two included, is XORed with this.
export const SCRAMBLE = 0xc7;

const GREETING = '1';
// Chromium asks the player before a public site's page may reach 127.0.0.1.
// Newer versions name the permission 'loopback-network'; older ones only
// 'local-network-access'.
const PERMISSION_NAMES = ['loopback-network', 'local-network-access', 'local-network'];

const encoder = new TextEncoder();
const decoder = new TextDecoder('utf-8');

// Text as UTF-8, cut to the field's width without splitting a character.
function encodeText(text, size) {
  const bytes = encoder.encode(String(text ?? ''));
  if (bytes.length <= size) return bytes;
  let end = size;
  while (end > 0 && (bytes[end] & 0xc0) === 0x80) end--;
  return bytes.subarray(0, end);
}

// A field's text: the bytes before its first NUL, or the whole field.
function decodeText(bytes) {
  const nul = bytes.indexOf(0);
  return decoder.decode(nul >= 0 ? bytes.subarray(0, nul) : bytes);
}

function parseIpv4(text) {
  const parts = String(text).split('.');
  if (parts.length !== 4) return null;
  const bytes = parts.map((part) => (/^\d{1,3}$/.test(part) ? Number(part) : 256));
  return bytes.every((b) => b <= 255) ? Uint8Array.from(bytes) : null;
}

function parseIpv6(text) {
  let address = String(text).replace(/^\[|\]$/g, '').replace(/%.*$/, '');
  // A dotted IPv4 tail (::ffff:192.0.2.1) becomes its two hex groups.
  const dotted = address.match(/^(.*:)(\d+\.\d+\.\d+\.\d+)$/);
  if (dotted) {
    const v4 = parseIpv4(dotted[2]);
    if (!v4) return null;
    address = `${dotted[1]}${((v4[0] << 8) | v4[1]).toString(16)}:${((v4[2] << 8) | v4[3]).toString(16)}`;
  }
  const halves = address.split('::');
  if (halves.length > 2) return null;
  const groups = (half) => (half === '' ? [] : half.split(':'));
  const head = groups(halves[0]);
  const rest = halves.length === 2 ? groups(halves[1]) : [];
  if (![...head, ...rest].every((g) => /^[0-9a-fA-F]{1,4}$/.test(g))) return null;
  const missing = 8 - head.length - rest.length;
  if (halves.length === 1 ? missing !== 0 : missing < 1) return null;
  const words = [...head, ...Array(halves.length === 2 ? missing : 0).fill('0'), ...rest].map((g) => parseInt(g, 16));
  const bytes = new Uint8Array(16);
  words.forEach((word, i) => {
    bytes[2 * i] = word >> 8;
    bytes[2 * i + 1] = word & 255;
  });
  return bytes;
}

function formatIpv6(bytes) {
  const words = [];
  for (let i = 0; i < 16; i += 2) words.push((bytes[i] << 8) | bytes[i + 1]);
  // The longest run of two or more zero words becomes "::" (RFC 5952).
  let best = -1;
  let bestLength = 1;
  for (let i = 0; i < 8; ) {
    if (words[i] !== 0) {
      i++;
      continue;
    }
    let j = i;
    while (j < 8 && words[j] === 0) j++;
    if (j - i > bestLength) {
      best = i;
      bestLength = j - i;
    }
    i = j;
  }
  const hex = (list) => list.map((w) => w.toString(16)).join(':');
  if (best < 0) return hex(words);
  return `${hex(words.slice(0, best))}::${hex(words.slice(best + bestLength))}`;
}

// Builds the payload of a join command: 86 bytes for an IPv4 room, 98 for an
// IPv6 one. `address` is a dotted IPv4 text, an IPv6 text, or 4 or 16 bytes;
// `siteData` is up to 16 bytes or a text the program keeps for the site and
// never reads. Names longer than their fields are cut.
export function encodeJoin({ siteData = new Uint8Array(0), roomName = '', ownerName = '', nick = '', address, port }) {
  let addressBytes;
  if (address instanceof Uint8Array || Array.isArray(address)) addressBytes = Uint8Array.from(address);
  else addressBytes = parseIpv4(address) ?? parseIpv6(address);
  if (!addressBytes || (addressBytes.length !== 4 && addressBytes.length !== 16)) {
    throw new TypeError(`not an IPv4 or IPv6 address: ${address}`);
  }
  if (!Number.isInteger(port) || port < 1 || port > 65535) throw new RangeError(`not a port: ${port}`);

  const payload = new Uint8Array(addressBytes.length === 4 ? RECORD_LENGTH_IPV4 : RECORD_LENGTH_IPV6);
  const site = typeof siteData === 'string' ? encoder.encode(siteData) : Uint8Array.from(siteData);
  if (site.length > FIELDS.siteData.size) throw new RangeError('siteData holds at most 16 bytes');
  payload.set(site, FIELDS.siteData.offset);
  payload.set(encodeText(roomName, FIELDS.roomName.size), FIELDS.roomName.offset);
  payload.set(encodeText(ownerName, FIELDS.ownerName.size), FIELDS.ownerName.offset);
  payload.set(encodeText(nick, FIELDS.nick.size), FIELDS.nick.offset);
  const at = FIELDS.address.offset;
  payload[at] = port >> 8;
  payload[at + 1] = port & 255;
  payload.set(addressBytes, at + 2);
  for (let i = at; i < payload.length; i++) payload[i] ^= SCRAMBLE;
  return payload;
}

// Reads a record as the program sends it. With no room joined:
// { joined: false }. Otherwise { joined: true, family: 'ipv4' | 'ipv6',
// siteData (16 bytes), roomName, ownerName, nick, address (text), port }.
// Returns null for a length the program never sends.
export function decodeRecord(data) {
  const bytes = data instanceof Uint8Array ? data : new Uint8Array(data);
  if (bytes.length === RECORD_LENGTH_NONE) return { joined: false };
  if (bytes.length !== RECORD_LENGTH_IPV4 && bytes.length !== RECORD_LENGTH_IPV6) return null;
  const field = ({ offset, size }) => bytes.subarray(offset, offset + size);
  const at = FIELDS.address.offset;
  const plain = bytes.slice(at).map((b) => b ^ SCRAMBLE);
  const ipv6 = bytes.length === RECORD_LENGTH_IPV6;
  return {
    joined: true,
    family: ipv6 ? 'ipv6' : 'ipv4',
    siteData: field(FIELDS.siteData).slice(),
    roomName: decodeText(field(FIELDS.roomName)),
    ownerName: decodeText(field(FIELDS.ownerName)),
    nick: decodeText(field(FIELDS.nick)),
    port: (plain[0] << 8) | plain[1],
    address: ipv6 ? formatIpv6(plain.subarray(2)) : Array.from(plain.subarray(2)).join('.'),
  };
}

function sameBytes(a, b) {
  return a.length === b.length && a.every((byte, i) => byte === b[i]);
}

// The browser's answer to "may this site reach programs on this device":
// 'granted', 'denied', 'prompt', or 'unknown' where the browser does not say.
export async function localAccessPermission() {
  if (typeof navigator === 'undefined' || !navigator.permissions?.query) return 'unknown';
  for (const name of PERMISSION_NAMES) {
    try {
      return (await navigator.permissions.query({ name })).state;
    } catch {
      // Not a permission this browser knows; try the next name.
    }
  }
  return 'unknown';
}

export class NimbrelCompanion extends EventTarget {
  constructor({ url = DEFAULT_URL } = {}) {
    super();
    this.url = url;
    this.socket = null;
    this.isOpen = false;
    this.record = null;
    // The program takes exactly one frame per read, so a command waits until
    // the echo of the one before it has come back.
    this.queue = [];
    this.inFlight = null;
  }

  // Opens the channel. Resolves once the program has greeted the page;
  // rejects (after a 'refused' event) when it could not be opened.
  connect() {
    if (this.socket) throw new Error('already connected');
    return new Promise((resolveOpen, rejectOpen) => {
      const socket = new WebSocket(this.url);
      socket.binaryType = 'arraybuffer';
      this.socket = socket;
      this.isOpen = false;
      socket.addEventListener('message', (event) => {
        if (typeof event.data === 'string') {
          if (event.data === GREETING && !this.isOpen) {
            this.isOpen = true;
            this.dispatchEvent(new CustomEvent('open'));
            resolveOpen();
          }
          return;
        }
        const bytes = new Uint8Array(event.data);
        if (this.inFlight && sameBytes(bytes, this.inFlight)) {
          this.inFlight = null;
          this.#sendNext();
        }
        const record = decodeRecord(bytes);
        if (record === null) return;
        this.record = record;
        this.dispatchEvent(new CustomEvent('record', { detail: record }));
      });
      socket.addEventListener('close', async (event) => {
        const wasOpen = this.isOpen;
        this.socket = null;
        this.isOpen = false;
        this.queue = [];
        this.inFlight = null;
        if (!wasOpen) {
          const permission = await localAccessPermission();
          const reason = permission === 'denied' ? 'permission-denied' : 'unreachable';
          this.dispatchEvent(new CustomEvent('refused', { detail: { reason, permission } }));
          rejectOpen(Object.assign(new Error(`Nimbrel Client not reached: ${reason}`), { reason, permission }));
        }
        this.dispatchEvent(new CustomEvent('close', { detail: { code: event.code, wasOpen } }));
      });
    });
  }

  // Joins a room: see encodeJoin for the fields. The program answers every
  // page with a 'record' event.
  join(room) {
    this.#send(encodeJoin(room));
  }

  leave() {
    this.#send(new Uint8Array(0));
  }

  close() {
    this.socket?.close();
  }

  #send(payload) {
    if (!this.isOpen) throw new Error('not connected to Nimbrel Client');
    this.queue.push(payload);
    if (!this.inFlight) this.#sendNext();
  }

  #sendNext() {
    const payload = this.queue.shift();
    if (!payload) return;
    this.inFlight = payload;
    this.socket.send(payload);
  }
}
