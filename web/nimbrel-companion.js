// Nimbrel companion kit: lets the site's page talk to the Nimbrel Client
// program on the player's PC (ws://127.0.0.1:48026). No dependencies; an ES
// module for current browsers.
//
//   import { NimbrelCompanion } from './nimbrel-companion.js';
//   const companion = new NimbrelCompanion({ reconnect: true });
//   companion.addEventListener('record', (event) => show(event.detail));
//   companion.addEventListener('refused', (event) => explain(event.detail.reason));
//   await companion.connect();                       // rejects with error.reason
//   await companion.join({ roomName: 'Lobby', ownerName: 'Ann', nick: 'Bob', address: '203.0.113.7', port: 25565 });
//   await companion.leave();
//
// Events (all are CustomEvents; the data is in `detail`):
//   open          the program greeted the page; commands may be sent now
//   record        the program's room record: on opening, and after every join
//                 or leave from any page. detail: a decoded record (decodeRecord)
//   close         the connection ended. detail: { code, wasOpen }
//   refused       an attempt to open the connection failed. detail: { reason, permission }
//                 (reasons: see REFUSAL_REASONS)
//   reconnecting  with the reconnect option: the next attempt follows after
//                 detail.delayMs. detail: { attempt, delayMs }

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

// The channel's version: the program's first frame. Any other greeting means a
// program this kit does not know how to talk to.
export const GREETING = '1';
export const DEFAULT_TIMEOUT_MS = 5000;

// Why connect() rejected (error.reason) or a 'refused' event came:
export const REFUSAL_REASONS = Object.freeze({
  // The program is not running, or it turned the page away (an Origin other
  // than the site's, or 16 pages already connected). Browsers report these
  // alike, so a page cannot tell them apart.
  unreachable: 'unreachable',
  // The player refused this site access to apps on the device.
  permissionDenied: 'permission-denied',
  // The browser's permission prompt was still open when the time ran out. The
  // attempt goes on: the player's answer brings 'open' or another 'refused'.
  permissionPrompt: 'permission-prompt',
  // Connected, but no greeting within the time (a program that hangs).
  timeout: 'timeout',
  // The greeting was not GREETING: a program of another channel version.
  incompatible: 'incompatible',
  // The page called close() before the channel opened.
  closed: 'closed',
});

// Chromium asks the player before a public site's page may reach 127.0.0.1.
// Current versions name the permission 'loopback-network'; earlier ones
// 'local-network-access', and some 'local-network'.
export const PERMISSION_NAMES = Object.freeze(['loopback-network', 'local-network-access', 'local-network']);

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
// A refusal under any of the names counts; otherwise the first name the
// browser knows answers.
export async function localAccessPermission() {
  if (typeof navigator === 'undefined' || !navigator.permissions?.query) return 'unknown';
  let first = 'unknown';
  for (const name of PERMISSION_NAMES) {
    try {
      const { state } = await navigator.permissions.query({ name });
      if (state === 'denied') return state;
      if (first === 'unknown') first = state;
    } catch {
      // Not a permission this browser knows; try the next name.
    }
  }
  return first;
}

// A page served from the device itself reaches 127.0.0.1 without asking.
function pageOnLoopback() {
  const host = typeof location === 'undefined' ? '' : location.hostname;
  return host === 'localhost' || host.endsWith('.localhost') || host === '[::1]' || /^127\./.test(host);
}

function failure(message, reason, permission) {
  return Object.assign(new Error(message), { reason, permission });
}

export class NimbrelCompanion extends EventTarget {
  // url: the program's address. timeoutMs: how long connect() waits for the
  // greeting. reconnect: false, true, or { initialDelayMs, maxDelayMs }: after
  // a failed attempt or a dropped connection, try again after a delay that
  // doubles each time up to the maximum, until close().
  constructor({ url = DEFAULT_URL, timeoutMs = DEFAULT_TIMEOUT_MS, reconnect = false } = {}) {
    super();
    this.url = url;
    this.timeoutMs = timeoutMs;
    this.reconnect = reconnect ? { initialDelayMs: 1000, maxDelayMs: 30000, ...(reconnect === true ? {} : reconnect) } : null;
    this.socket = null;
    this.isOpen = false;
    this.record = null;
    // The program takes one frame at a time, so a command waits until the
    // echo of the one before it has come back. Entries: { payload, resolve, reject }.
    this.queue = [];
    this.inFlight = null;
    this.retries = 0;
    this.retryTimer = null;
    this.stopped = true;
  }

  // Opens the channel. Resolves once the program has greeted the page;
  // rejects with an Error whose `reason` is one of REFUSAL_REASONS (a
  // 'refused' event says the same). With the reconnect option the kit keeps
  // trying after a rejection; 'open' tells when it got through.
  connect({ timeoutMs = this.timeoutMs } = {}) {
    if (this.socket) return Promise.reject(new Error('already connected or connecting'));
    clearTimeout(this.retryTimer);
    this.retryTimer = null;
    this.stopped = false;
    return this.#attempt(timeoutMs);
  }

  // Joins a room: see encodeJoin for the fields. Resolves with the echoed
  // record once the program has taken the command; rejects (reason 'closed')
  // when the connection ends first, or at once (reason 'not-connected').
  join(room) {
    return this.#send(encodeJoin(room));
  }

  leave() {
    return this.#send(new Uint8Array(0));
  }

  // Ends the connection, and any reconnecting, for good.
  close() {
    this.stopped = true;
    clearTimeout(this.retryTimer);
    this.retryTimer = null;
    this.socket?.close();
  }

  #attempt(timeoutMs) {
    return new Promise((resolve, reject) => {
      const socket = new WebSocket(this.url);
      socket.binaryType = 'arraybuffer';
      this.socket = socket;
      this.isOpen = false;
      let settled = false;
      let greeted = false;
      // Rejected for an open prompt; the player's answer is still to come.
      let awaitingAnswer = false;
      const refuse = (reason, permission) => {
        this.dispatchEvent(new CustomEvent('refused', { detail: { reason, permission } }));
        if (!settled) reject(failure(`Nimbrel Client not reached: ${reason}`, reason, permission));
        settled = true;
      };
      const timer = setTimeout(async () => {
        const permission = await localAccessPermission();
        if (greeted || this.socket !== socket) return;
        if (socket.readyState === WebSocket.CONNECTING && permission === 'prompt' && !pageOnLoopback()) {
          refuse(REFUSAL_REASONS.permissionPrompt, permission);
          awaitingAnswer = true;
        } else {
          refuse(REFUSAL_REASONS.timeout, permission);
          socket.close();
        }
      }, timeoutMs);

      socket.addEventListener('message', (event) => {
        if (!greeted) {
          if (event.data !== GREETING) {
            clearTimeout(timer);
            refuse(REFUSAL_REASONS.incompatible, 'granted');
            socket.close();
            return;
          }
          greeted = true;
          clearTimeout(timer);
          this.isOpen = true;
          this.retries = 0;
          settled = true;
          this.dispatchEvent(new CustomEvent('open'));
          resolve();
          return;
        }
        if (typeof event.data === 'string') return;
        const bytes = new Uint8Array(event.data);
        const record = decodeRecord(bytes);
        if (record !== null) {
          this.record = record;
          this.dispatchEvent(new CustomEvent('record', { detail: record }));
        }
        if (this.inFlight && sameBytes(bytes, this.inFlight.payload)) {
          this.inFlight.resolve(record);
          this.inFlight = null;
          this.#sendNext();
        }
      });

      socket.addEventListener('close', async (event) => {
        clearTimeout(timer);
        const wasOpen = this.isOpen;
        if (this.socket === socket) this.socket = null;
        this.isOpen = false;
        const dropped = [...(this.inFlight ? [this.inFlight] : []), ...this.queue];
        this.inFlight = null;
        this.queue = [];
        for (const command of dropped) command.reject(failure('the connection to Nimbrel Client ended', 'closed'));
        if (!settled || (awaitingAnswer && !greeted)) {
          if (this.stopped) {
            if (!settled) reject(failure('closed before the program answered', REFUSAL_REASONS.closed));
            settled = true;
          } else {
            const permission = await localAccessPermission();
            refuse(permission === 'denied' ? REFUSAL_REASONS.permissionDenied : REFUSAL_REASONS.unreachable, permission);
          }
        }
        this.dispatchEvent(new CustomEvent('close', { detail: { code: event.code, wasOpen } }));
        if (this.reconnect && !this.stopped && !this.socket) this.#retryLater();
      });
    });
  }

  #retryLater() {
    const { initialDelayMs, maxDelayMs } = this.reconnect;
    const delayMs = Math.min(maxDelayMs, initialDelayMs * 2 ** Math.min(this.retries, 30));
    this.retries++;
    this.dispatchEvent(new CustomEvent('reconnecting', { detail: { attempt: this.retries, delayMs } }));
    this.retryTimer = setTimeout(() => {
      this.retryTimer = null;
      // Each failure is reported by its own 'refused' event.
      if (!this.stopped && !this.socket) this.#attempt(this.timeoutMs).catch(() => {});
    }, delayMs);
  }

  #send(payload) {
    if (!this.isOpen) return Promise.reject(failure('not connected to Nimbrel Client', 'not-connected'));
    return new Promise((resolve, reject) => {
      this.queue.push({ payload, resolve, reject });
      if (!this.inFlight) this.#sendNext();
    });
  }

  #sendNext() {
    const command = this.queue.shift();
    if (!command) return;
    this.inFlight = command;
    this.socket.send(command.payload);
  }
}
