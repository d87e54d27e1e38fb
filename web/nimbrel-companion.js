// Nimbrel companion kit: lets the site's page talk to the Nimbrel Client
// program on the player's PC (ws://127.0.0.1:48026). No dependencies; an ES
// module for current browsers.
//
//   import { NimbrelCompanion, NimbrelError } from 'nimbrel-companion';
//   const companion = new NimbrelCompanion({ reconnect: true });
//   companion.addEventListener('record', (event) => show(event.detail));
//   companion.addEventListener('refused', (event) => explain(event.detail.reason));
//   const record = await companion.connect();        // the room joined now, if any
//   await companion.join({ roomName: 'Lobby', ownerName: 'Ann', nick: 'Bob', address: '203.0.113.7', port: 25565 });
//   await companion.leave({ signal: AbortSignal.timeout(2000) });
//
// Every promise the kit returns rejects with a NimbrelError (error.reason is
// one of ERROR_REASONS), or with the signal's reason when a call is aborted.
//
// Events (all are CustomEvents; the data is in `detail`):
//   open          the program greeted the page and sent its record; commands may be sent now
//   record        the program's room record: on opening, and after every join
//                 or leave from any page. detail: a decoded record (decodeRecord)
//   close         the connection ended. detail: { code, wasOpen }; code 1000
//                 when the page called close(), else 1006
//   refused       an attempt to open the connection failed. detail: { reason, permission, error }
//                 (reasons: see REFUSAL_REASONS)
//   reconnecting  with the reconnect option: the next attempt follows after
//                 detail.delayMs. detail: { attempt, delayMs }

// The kit's version: the program's, as in package.json.
export const version = '1.1.0';

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
// How long join() and leave() wait for the program's echo by default.
export const DEFAULT_COMMAND_TIMEOUT_MS = 5000;

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
});

// Every reason a NimbrelError carries: the refusals above, and
export const ERROR_REASONS = Object.freeze({
  ...REFUSAL_REASONS,
  // the connection ended (or the page called close()) before the call was answered;
  closed: 'closed',
  // a command while no connection is open;
  notConnected: 'not-connected',
  // connect() while connected or connecting;
  alreadyConnected: 'already-connected',
  // a nick that is not 3 to 16 letters, digits or _;
  invalidName: 'invalid-name',
  // a room whose address, port or siteData the program cannot take.
  invalidRoom: 'invalid-room',
});
// ('timeout' is also a command's echo not coming in time.)

// What every rejection of the kit is, but an aborted call's.
export class NimbrelError extends Error {
  constructor(reason, message, { permission, cause } = {}) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = 'NimbrelError';
    this.reason = reason;
    if (permission !== undefined) this.permission = permission;
  }
}

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
  // An IPv4-mapped address keeps its dotted tail (RFC 5952, section 5).
  if (best === 0 && bestLength === 5 && words[5] === 0xffff) return `::ffff:${Array.from(bytes.subarray(12)).join('.')}`;
  if (best < 0) return hex(words);
  return `${hex(words.slice(0, best))}::${hex(words.slice(best + bestLength))}`;
}

// What the game accepts as a player name: 3 to 16 letters, digits or _.
export function isValidPlayerName(name) {
  return typeof name === 'string' && /^[A-Za-z0-9_]{3,16}$/.test(name);
}

// A port as a number or a decimal text; NaN for anything else.
function portNumber(port) {
  if (typeof port === 'string' && /^[0-9]{1,5}$/.test(port)) return Number(port);
  return Number.isInteger(port) && port >= 1 && port <= 65535 ? port : NaN;
}

// Builds the payload of a join command: 86 bytes for an IPv4 room, 98 for an
// IPv6 one. `address` is a dotted IPv4 text, an IPv6 text, or 4 or 16 bytes;
// `port` a number or a decimal text; `nick` a valid player name; `siteData`
// up to 16 bytes or a text the program keeps for the site and never reads.
// Room and owner names longer than their fields are cut. Throws a
// NimbrelError ('invalid-name' or 'invalid-room').
export function encodeJoin({ siteData = new Uint8Array(0), roomName = '', ownerName = '', nick, address, port }) {
  if (!isValidPlayerName(nick)) {
    throw new NimbrelError(ERROR_REASONS.invalidName, `not a player name (3 to 16 letters, digits or _): ${nick}`);
  }
  let addressBytes = null;
  if (address instanceof Uint8Array || Array.isArray(address)) addressBytes = Uint8Array.from(address);
  else if (typeof address === 'string') addressBytes = parseIpv4(address) ?? parseIpv6(address);
  if (!addressBytes || (addressBytes.length !== 4 && addressBytes.length !== 16)) {
    throw new NimbrelError(ERROR_REASONS.invalidRoom, `not an IPv4 or IPv6 address: ${address}`);
  }
  const portValue = portNumber(port);
  if (!(portValue >= 1 && portValue <= 65535)) throw new NimbrelError(ERROR_REASONS.invalidRoom, `not a port: ${port}`);
  const site = typeof siteData === 'string' ? encoder.encode(siteData) : Uint8Array.from(siteData);
  if (site.length > FIELDS.siteData.size) throw new NimbrelError(ERROR_REASONS.invalidRoom, 'siteData holds at most 16 bytes');

  const payload = new Uint8Array(addressBytes.length === 4 ? RECORD_LENGTH_IPV4 : RECORD_LENGTH_IPV6);
  payload.set(site, FIELDS.siteData.offset);
  payload.set(encodeText(roomName, FIELDS.roomName.size), FIELDS.roomName.offset);
  payload.set(encodeText(ownerName, FIELDS.ownerName.size), FIELDS.ownerName.offset);
  payload.set(encoder.encode(nick), FIELDS.nick.offset);
  const at = FIELDS.address.offset;
  payload[at] = portValue >> 8;
  payload[at + 1] = portValue & 255;
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

// A promise with its settling functions; settling twice does nothing.
function deferred() {
  const entry = { settled: false };
  entry.promise = new Promise((resolve, reject) => {
    entry.settle = (error, value) => {
      if (entry.settled) return;
      entry.settled = true;
      entry.cleanup?.();
      if (error === undefined) resolve(value);
      else reject(error);
    };
  });
  return entry;
}

// Settles `entry` with the signal's reason once it aborts; the returned
// function is called if it aborted before.
function onAbort(signal, entry, aborted) {
  if (!signal) return;
  const listener = () => {
    entry.settle(signal.reason);
    aborted();
  };
  signal.addEventListener('abort', listener, { once: true });
  const cleanup = entry.cleanup;
  entry.cleanup = () => {
    cleanup?.();
    signal.removeEventListener('abort', listener);
  };
}

export class NimbrelCompanion extends EventTarget {
  #url;
  #timeoutMs;
  #commandTimeoutMs;
  #reconnect;
  #state = 'closed';
  #record = null;
  // The socket of the current attempt or connection; a socket that is not
  // this one any more is ignored.
  #socket = null;
  // The connect() waiting for the first record.
  #opening = null;
  // The program takes one frame at a time, so a command waits until the echo
  // of the one before it has come back. Entries: deferred() and { payload, timer }.
  #queue = [];
  #inFlight = null;
  #retries = 0;
  #retryTimer = null;
  #stopped = true;

  // url: the program's address. timeoutMs: how long connect() waits for the
  // greeting and the record. commandTimeoutMs: how long join() and leave()
  // wait for the echo. reconnect: false, true, or { initialDelayMs,
  // maxDelayMs }: after a failed attempt or a dropped connection, try again
  // after a delay that doubles each time up to the maximum, until close().
  constructor({ url = DEFAULT_URL, timeoutMs = DEFAULT_TIMEOUT_MS, commandTimeoutMs = DEFAULT_COMMAND_TIMEOUT_MS,
    reconnect = false } = {}) {
    super();
    this.#url = url;
    this.#timeoutMs = timeoutMs;
    this.#commandTimeoutMs = commandTimeoutMs;
    this.#reconnect = reconnect ? { initialDelayMs: 1000, maxDelayMs: 30000, ...(reconnect === true ? {} : reconnect) } : null;
  }

  get url() { return this.#url; }
  get timeoutMs() { return this.#timeoutMs; }
  // 'connecting', 'open' (the record has come; commands may be sent),
  // 'reconnecting' (waiting to try again, or trying) or 'closed'.
  get state() { return this.#state; }
  get isOpen() { return this.#state === 'open'; }
  // The last record received; null before the first.
  get record() { return this.#record; }

  // Opens the channel. Resolves with the program's first record once it has
  // greeted the page; rejects with a NimbrelError whose `reason` is one of
  // REFUSAL_REASONS (a 'refused' event says the same), 'closed' or
  // 'already-connected'. Aborting the signal ends the attempt and any
  // reconnecting. With the reconnect option the kit keeps trying after a
  // rejection; 'open' tells when it got through.
  connect({ timeoutMs = this.#timeoutMs, signal } = {}) {
    if (signal?.aborted) return Promise.reject(signal.reason);
    if (this.#socket) {
      return Promise.reject(new NimbrelError(ERROR_REASONS.alreadyConnected, 'already connected or connecting'));
    }
    clearTimeout(this.#retryTimer);
    this.#retryTimer = null;
    this.#stopped = false;
    const opening = this.#attempt(timeoutMs, false);
    onAbort(signal, opening, () => this.close());
    return opening.promise;
  }

  // Joins a room: see encodeJoin for the fields. Resolves with the echoed
  // record once the program has taken the command. Rejects with a NimbrelError:
  // 'invalid-name' or 'invalid-room' before anything is sent, 'not-connected',
  // 'closed' when the connection ends first, 'timeout' when no echo comes
  // within timeoutMs (the kit then ends the connection, as the program does
  // not answer).
  join(room, options) {
    let payload;
    try {
      payload = encodeJoin(room);
    } catch (error) {
      return Promise.reject(error);
    }
    return this.#send(payload, options);
  }

  // Leaves the room; resolves with the echoed record, rejects as join() does.
  leave(options) {
    return this.#send(new Uint8Array(0), options);
  }

  // Ends the connection, and any reconnecting, for good; connect() may follow at once.
  close() {
    this.#stopped = true;
    clearTimeout(this.#retryTimer);
    this.#retryTimer = null;
    const socket = this.#socket;
    if (socket) {
      socket.close();
      this.#ended(1000);
    } else {
      this.#state = 'closed';
    }
  }

  #emit(type, detail = null) {
    this.dispatchEvent(new CustomEvent(type, { detail }));
  }

  #attempt(timeoutMs, retrying) {
    const opening = deferred();
    this.#opening = opening;
    this.#state = retrying ? 'reconnecting' : 'connecting';
    let socket;
    try {
      socket = new WebSocket(this.#url);
    } catch (error) {
      // Not a WebSocket URL.
      this.#state = 'closed';
      this.#stopped = true;
      opening.settle(new NimbrelError(REFUSAL_REASONS.unreachable, `not a WebSocket URL: ${this.#url}`, { cause: error }));
      return opening;
    }
    socket.binaryType = 'arraybuffer';
    this.#socket = socket;
    let greeted = false;
    // Rejected for an open prompt; the player's answer is still to come.
    let awaitingAnswer = false;
    const refuse = (reason, permission) => {
      const error = new NimbrelError(reason, `Nimbrel Client not reached: ${reason}`, { permission });
      this.#emit('refused', { reason, permission, error });
      opening.settle(error);
    };
    const timer = setTimeout(async () => {
      const permission = await localAccessPermission();
      if (this.#socket !== socket || this.#state === 'open') return;
      if (!greeted && socket.readyState === 0 && permission === 'prompt' && !pageOnLoopback()) {
        refuse(REFUSAL_REASONS.permissionPrompt, permission);
        awaitingAnswer = true;
      } else {
        refuse(REFUSAL_REASONS.timeout, permission);
        this.#drop();
      }
    }, timeoutMs);

    socket.addEventListener('message', (event) => {
      if (this.#socket !== socket) return;
      if (!greeted) {
        if (event.data !== GREETING) {
          clearTimeout(timer);
          refuse(REFUSAL_REASONS.incompatible, 'granted');
          this.#drop();
          return;
        }
        greeted = true;
        return;
      }
      if (typeof event.data === 'string') return;
      const bytes = new Uint8Array(event.data);
      const record = decodeRecord(bytes);
      if (record === null) return;
      this.#record = record;
      if (this.#state !== 'open') {
        clearTimeout(timer);
        this.#state = 'open';
        this.#retries = 0;
        this.#emit('open');
        this.#emit('record', record);
        opening.settle(undefined, record);
        return;
      }
      this.#emit('record', record);
      const command = this.#inFlight;
      if (command && sameBytes(bytes, command.payload)) {
        clearTimeout(command.timer);
        this.#inFlight = null;
        command.settle(undefined, record);
        this.#sendNext();
      }
    });

    socket.addEventListener('close', async (event) => {
      clearTimeout(timer);
      if (this.#socket !== socket) return;
      if (this.#state !== 'open' && (!opening.settled || awaitingAnswer)) {
        const permission = await localAccessPermission();
        if (this.#socket !== socket) return;
        refuse(permission === 'denied' ? REFUSAL_REASONS.permissionDenied : REFUSAL_REASONS.unreachable, permission);
      }
      this.#ended(event.code);
    });
    return opening;
  }

  // Ends the connection from this side: the program does not answer as it should.
  #drop() {
    this.#socket?.close();
    this.#ended(1006);
  }

  // The connection is over: settles what waits on it, says so, and reconnects
  // when asked to.
  #ended(code) {
    const wasOpen = this.#state === 'open';
    this.#socket = null;
    const closed = () => new NimbrelError(ERROR_REASONS.closed, 'the connection to Nimbrel Client ended');
    this.#opening?.settle(closed());
    this.#opening = null;
    for (const command of [...(this.#inFlight ? [this.#inFlight] : []), ...this.#queue]) {
      clearTimeout(command.timer);
      command.settle(closed());
    }
    this.#inFlight = null;
    this.#queue = [];
    const retry = this.#reconnect !== null && !this.#stopped;
    this.#state = retry ? 'reconnecting' : 'closed';
    this.#emit('close', { code, wasOpen });
    if (retry && !this.#socket && !this.#retryTimer) this.#retryLater();
  }

  #retryLater() {
    const { initialDelayMs, maxDelayMs } = this.#reconnect;
    const delayMs = Math.min(maxDelayMs, initialDelayMs * 2 ** Math.min(this.#retries, 30));
    this.#retries++;
    this.#emit('reconnecting', { attempt: this.#retries, delayMs });
    this.#retryTimer = setTimeout(() => {
      this.#retryTimer = null;
      // Each failure is reported by its own 'refused' event.
      if (!this.#stopped && !this.#socket) this.#attempt(this.#timeoutMs, true).promise.catch(() => {});
    }, delayMs);
  }

  #send(payload, { timeoutMs = this.#commandTimeoutMs, signal } = {}) {
    if (signal?.aborted) return Promise.reject(signal.reason);
    if (this.#state !== 'open') {
      return Promise.reject(new NimbrelError(ERROR_REASONS.notConnected, 'not connected to Nimbrel Client'));
    }
    const command = Object.assign(deferred(), { payload });
    // A queued command leaves the queue; one already sent keeps its place
    // until its echo, so that the next echo is matched to the next command.
    onAbort(signal, command, () => {
      const at = this.#queue.indexOf(command);
      if (at >= 0) this.#queue.splice(at, 1);
    });
    command.timer = setTimeout(() => {
      command.settle(new NimbrelError(ERROR_REASONS.timeout, 'Nimbrel Client did not answer the command in time'));
      const at = this.#queue.indexOf(command);
      if (at >= 0) this.#queue.splice(at, 1);
      else if (this.#inFlight === command) this.#drop();
    }, timeoutMs);
    this.#queue.push(command);
    if (!this.#inFlight) this.#sendNext();
    return command.promise;
  }

  #sendNext() {
    const command = this.#queue.shift();
    if (!command) return;
    this.#inFlight = command;
    this.#socket.send(command.payload);
  }
}
