// The browser control channel: opening handshake, Origin test, frames and
// room commands, seen from WebSocket clients and raw sockets.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { createHash, randomBytes } from 'node:crypto';
import WebSocket from 'ws';
import { startProgram, WS_PORT, SITE_DOMAIN, SLOW } from './lib/program.mjs';
import { connect, sleep } from './lib/net.mjs';
import { encodeJoin, decodeRecord } from '../../web/nimbrel-companion.js';

const URL = `ws://127.0.0.1:${WS_PORT}`;
const SITE = `https://${SITE_DOMAIN}`;
const TIMEOUT = 10000 * SLOW;

let program;
before(async () => {
  program = await startProgram();
});
after(async () => {
  await program?.stop();
});

// A WebSocket client that keeps every message with its kind, in order.
class Page {
  constructor(origin = SITE) {
    this.messages = [];
    this.waiters = new Set();
    this.closed = false;
    this.ws = new WebSocket(URL, { origin, handshakeTimeout: TIMEOUT });
    this.ws.on('message', (data, isBinary) => {
      this.messages.push({ binary: isBinary, data: Buffer.from(data) });
      this.notify();
    });
    this.ws.on('close', (code) => {
      this.closed = true;
      this.closeCode = code;
      this.notify();
    });
    this.ws.on('error', (error) => {
      this.error = error;
      this.notify();
    });
  }

  notify() {
    for (const waiter of this.waiters) waiter();
  }

  until(condition, what) {
    return new Promise((resolveWait, rejectWait) => {
      const check = () => {
        if (!condition(this)) return;
        finish();
        resolveWait();
      };
      const timer = setTimeout(() => {
        finish();
        rejectWait(new Error(`${what}: not seen within ${TIMEOUT} ms; messages ${this.describe()},` +
          ` closed=${this.closed}, error=${this.error?.message}`));
      }, TIMEOUT);
      const finish = () => {
        clearTimeout(timer);
        this.waiters.delete(check);
      };
      this.waiters.add(check);
      check();
    });
  }

  describe() {
    return JSON.stringify(this.messages.map((m) => `${m.binary ? 'binary' : 'text'}:${m.data.toString('hex')}`));
  }

  async opened() {
    await this.until((page) => page.messages.length >= 2 || page.closed, 'greeting and record');
    assert.equal(this.closed, false, `page closed during its opening: ${this.error?.message}`);
    return this;
  }

  untilMessages(count) {
    return this.until((page) => page.messages.length >= count, `${count} messages`);
  }

  untilClosed() {
    return this.until((page) => page.closed, 'connection closed');
  }

  close() {
    this.ws.terminate();
  }
}

async function openPage(origin) {
  return new Page(origin).opened();
}

// A join payload: site data, names, and the address with its port, scrambled.
function joinPayload({ roomName = 'Lobby', owner = 'Owner', nick = 'Player', port = 25565, address = [10, 0, 0, 1] }) {
  const payload = Buffer.alloc(80 + 2 + address.length);
  payload.write('site-data-16byte', 0, 'latin1');
  payload.write(roomName, 16, 32, 'latin1');
  payload.write(owner, 48, 16, 'latin1');
  payload.write(nick, 64, 16, 'latin1');
  payload.writeUInt16BE(port, 80);
  Buffer.from(address).copy(payload, 82);
  for (let i = 80; i < payload.length; i++) payload[i] ^= 0xc7;
  return payload;
}

const ipv4Join = joinPayload({});
const ipv6Join = joinPayload({ roomName: 'Six', address: [0x20, 0x01, 0x0d, 0xb8, ...Array(11).fill(0), 1] });

function acceptFor(key) {
  return createHash('sha1').update(key + '258EAFA5-E914-47DA-95CA-C5AB0DC85B11').digest('base64');
}

// The opening request; a null leaves its header out.
function rawRequest(origin, { version = '13', key = 'dGhlIHNhbXBsZSBub25jZQ==' } = {}) {
  const lines = ['GET / HTTP/1.1', `Host: 127.0.0.1:${WS_PORT}`, 'Upgrade: websocket', 'Connection: Upgrade'];
  if (origin !== null) lines.push(`Origin: ${origin}`);
  if (key !== null) lines.push(`Sec-WebSocket-Key: ${key}`);
  if (version !== null) lines.push(`Sec-WebSocket-Version: ${version}`);
  return Buffer.from(lines.join('\r\n') + '\r\n\r\n', 'latin1');
}

function reply101(key) {
  return `HTTP/1.1 101 Switching Protocols\r\nUPGRADE: websocket\r\nCONNECTION: UPGRADE\r\n` +
    `SEC-WEBSOCKET-ACCEPT: ${acceptFor(key)}\r\n\r\n`;
}

// A masked client frame with the length in the form it names.
function clientFrame(first, payload, { form = payload.length < 126 ? 0 : 2, masked = true } = {}) {
  const lengthBytes = form === 0 ? Buffer.from([payload.length]) :
    form === 2 ? Buffer.from([126, payload.length >> 8, payload.length & 255]) :
      Buffer.concat([Buffer.from([127]), (() => { const b = Buffer.alloc(8); b.writeBigUInt64BE(BigInt(payload.length)); return b; })()]);
  if (masked) lengthBytes[0] |= 0x80;
  const key = masked ? randomBytes(4) : Buffer.alloc(0);
  const body = Buffer.from(payload);
  if (masked) for (let i = 0; i < body.length; i++) body[i] ^= key[i % 4];
  return Buffer.concat([Buffer.from([first]), lengthBytes, key, body]);
}

// An open connection on a raw socket: the handshake done, the two opening
// frames received.
async function rawOpen() {
  const peer = await connect(WS_PORT);
  const key = randomBytes(16).toString('base64');
  await peer.send(rawRequest(SITE, { key }));
  const expected = reply101(key).length + 3 + 2 + 0;
  await peer.until((p) => p.received.length >= expected || p.closed, 'the 101 reply and the opening frames');
  assert.equal(peer.closed, false, 'the connection opened');
  peer.received = Buffer.alloc(0);
  return peer;
}

// Waits until every connection the program took has been closed again:
// earlier tests' slots are freed only once the program reads their closes.
async function allSlotsFree() {
  const count = (pattern) => program.lines.filter((line) => pattern.test(line)).length;
  const deadline = Date.now() + TIMEOUT;
  while (count(/^\[WS\] putted, /) !== count(/^\[WS\] close, sock /)) {
    if (Date.now() > deadline) assert.fail(`slots still taken:\n${program.describe()}`);
    await sleep(20);
  }
}

function logSince(since) {
  return program.linesSince(since).join('\n');
}

test('a page of the site gets the greeting "1" and then the empty record, as two frames', async () => {
  const since = program.mark();
  const page = await openPage(SITE);
  try {
    assert.deepEqual(page.messages[0], { binary: false, data: Buffer.from('1') }, 'first frame: text "1"');
    assert.deepEqual(page.messages[1], { binary: true, data: Buffer.alloc(0) }, 'second frame: empty binary');
    await program.waitForLine(/^\[WS\] open, sock = \d+$/, { since });
    const lines = program.linesSince(since);
    const packet = lines.findIndex((l) => /^\[WS\] packet, sock \d+, state 0$/.test(l));
    const origin = lines.indexOf('[WS] origin found');
    const state = lines.findIndex((l) => /^\[WS\] state 0, sock \d+$/.test(l));
    const open = lines.findIndex((l) => /^\[WS\] open, sock = \d+$/.test(l));
    assert.ok(packet >= 0 && packet < origin && origin < state && state < open, `log order:\n${logSince(since)}`);
    assert.ok(lines.includes(`[WS] [ORIGIN: ${SITE}]`), `the Origin line, name upper-cased:\n${logSince(since)}`);
  } finally {
    page.close();
  }
});

test('Origins naming the site domain with a port or path are accepted', async () => {
  for (const origin of [`${SITE}:8443`, `http://${SITE_DOMAIN}`, `${SITE}/rooms`]) {
    const page = new Page(origin);
    try {
      await page.opened();
    } catch (error) {
      assert.fail(`Origin ${origin} refused: ${error.message}`);
    } finally {
      page.close();
    }
  }
});

test('Origins of other hosts are refused with "origin error" and nothing sent', async () => {
  const refused = [
    `https://${SITE_DOMAIN}.attacker.net`,
    `https://sub.${SITE_DOMAIN}`,
    `https://${SITE_DOMAIN}x.com`,
    'null',
    null,
  ];
  for (const origin of refused) {
    const since = program.mark();
    const peer = await connect(WS_PORT);
    await peer.send(rawRequest(origin));
    const received = await peer.untilClosed();
    assert.equal(received.length, 0, `Origin ${origin}: ${received.length} bytes sent`);
    await program.waitForLine('[WS] origin error', { since });
  }
});

test('the 101 reply carries exactly the upper-case headers and the RFC 6455 accept value', async () => {
  const peer = await connect(WS_PORT);
  try {
    await peer.send(rawRequest(SITE));
    // The key and accept value of the sample handshake in RFC 6455, section 1.3.
    const expected = Buffer.concat([
      Buffer.from('HTTP/1.1 101 Switching Protocols\r\nUPGRADE: websocket\r\nCONNECTION: UPGRADE\r\n' +
        'SEC-WEBSOCKET-ACCEPT: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n', 'latin1'),
      Buffer.from([0x81, 0x01, 0x31, 0x82, 0x00]),
    ]);
    const received = await peer.untilBytes(expected.length);
    assert.equal(received.toString('latin1'), expected.toString('latin1'));
  } finally {
    peer.close();
  }
});

test('version 8 and a missing version get exactly the 400 reply, then the connection closes', async () => {
  for (const version of ['8', null]) {
    const peer = await connect(WS_PORT);
    await peer.send(rawRequest(SITE, { version }));
    const received = await peer.untilClosed();
    assert.equal(received.toString('latin1'),
      'HTTP/1.1 400 Bad Request\r\nSEC-WEBSOCKET-VERSION: 13\r\n\r\nBad request', `version ${version}`);
  }
});

test('joins over IPv4 and IPv6 and a leave are echoed to every open page', async () => {
  const first = await openPage();
  const second = await openPage();
  try {
    const commands = [
      [ipv4Join, '[WS] join room (ipv4)'],
      [ipv6Join, '[WS] join room (ipv6)'],
      [Buffer.alloc(0), '[WS] leave room'],
    ];
    let expected = 2;
    for (const [payload, line] of commands) {
      const since = program.mark();
      first.ws.send(payload);
      expected++;
      await first.untilMessages(expected);
      await second.untilMessages(expected);
      for (const page of [first, second]) {
        assert.deepEqual(page.messages[expected - 1], { binary: true, data: payload }, `echo of ${line}`);
      }
      await program.waitForLine(line, { since });
      await program.waitForLine('[PROXY] close, handle_kind 0', { since });
    }
  } finally {
    first.close();
    second.close();
  }
});

test('the companion kit builds the documented join bytes and reads the echo back', async () => {
  const payload = encodeJoin({
    siteData: 'site-data-16byte', roomName: 'Lobby', ownerName: 'Owner', nick: 'Player',
    address: '10.0.0.1', port: 25565,
  });
  assert.equal(Buffer.from(payload).toString('hex'), ipv4Join.toString('hex'));
  assert.equal(Buffer.from(payload.subarray(80)).toString('hex'), 'a41acdc7c7c6', 'port 25565 at 10.0.0.1, scrambled');
  const page = await openPage();
  try {
    page.ws.send(payload);
    await page.untilMessages(3);
    const { siteData, ...fields } = decodeRecord(page.messages[2].data);
    assert.deepEqual(fields, {
      joined: true, family: 'ipv4', roomName: 'Lobby', ownerName: 'Owner', nick: 'Player', address: '10.0.0.1',
      port: 25565,
    });
    assert.equal(Buffer.from(siteData).toString('latin1'), 'site-data-16byte');
    page.ws.send(Buffer.alloc(0));
    await page.untilMessages(4);
  } finally {
    page.close();
  }
});

test('a page that opens after a join receives that join as its record', async () => {
  const sender = await openPage();
  sender.ws.send(ipv4Join);
  await sender.untilMessages(3);
  const late = await openPage();
  try {
    assert.deepEqual(late.messages[1], { binary: true, data: ipv4Join });
  } finally {
    sender.ws.send(Buffer.alloc(0));
    await sender.untilMessages(4);
    sender.close();
    late.close();
  }
});

test('payloads of 85 and 87 bytes and text frames change nothing and keep the page open', async () => {
  const page = await openPage();
  try {
    // One frame per read: each is sent once the program has finished the last.
    for (const frame of [Buffer.alloc(85, 1), Buffer.alloc(87, 1), 'hello']) {
      const since = program.mark();
      page.ws.send(frame);
      const read = await program.waitForLine(/^\[WS\] packet, sock \d+, state 1$/, { since });
      await program.waitForLine(/^\[WS\] packet finish, sock \d+$/, { since: read });
    }
    page.ws.send(ipv4Join);
    await page.untilMessages(3);
    assert.deepEqual(page.messages[2], { binary: true, data: ipv4Join }, 'the first echo is the join');
    page.ws.send(Buffer.alloc(0));
    await page.untilMessages(4);
    assert.equal(page.closed, false);
  } finally {
    page.close();
  }
});

test('a ping closes the connection without a pong', async () => {
  const page = await openPage();
  let ponged = false;
  page.ws.on('pong', () => { ponged = true; });
  page.ws.ping();
  await page.untilClosed();
  assert.equal(ponged, false);
});

test('a close frame closes the connection without a close frame back', async () => {
  const page = await openPage();
  page.ws.close(1000);
  await page.untilClosed();
  assert.equal(page.closeCode, 1006, 'no close frame came back');
});

test('a frame split over two reads closes the connection at the first read', async () => {
  const since = program.mark();
  const peer = await rawOpen();
  const frame = clientFrame(0x82, ipv4Join);
  await peer.send(frame.subarray(0, 10));
  await peer.untilClosed();
  assert.ok(!program.linesSince(since).includes('[WS] join room (ipv4)'), logSince(since));
});

test('two frames in one read close the connection', async () => {
  const since = program.mark();
  const peer = await rawOpen();
  await peer.send(Buffer.concat([clientFrame(0x81, Buffer.from('a')), clientFrame(0x81, Buffer.from('b'))]));
  await peer.untilClosed();
  await program.waitForLine(/^\[WS\] close, sock \d+$/, { since });
});

test('an unmasked client frame closes the connection', async () => {
  const peer = await rawOpen();
  await peer.send(clientFrame(0x82, ipv4Join, { masked: false }));
  const received = await peer.untilClosed();
  assert.equal(received.length, 0, 'no echo');
});

test('a frame in the 8-byte length form is taken only when its length fills the read', async () => {
  const peer = await rawOpen();
  try {
    await peer.send(clientFrame(0x82, ipv4Join, { form: 8 }));
    const echo = await peer.untilBytes(88);
    assert.equal(echo.subarray(0, 2).toString('hex'), '8256');
    peer.received = Buffer.alloc(0);
    const lying = clientFrame(0x82, Buffer.alloc(0), { form: 8 });
    lying.writeBigUInt64BE(0xfffffffffffffff2n, 2);  // 14 + it wraps to 0 in 64 bits
    await peer.send(lying);
    const received = await peer.untilClosed();
    assert.equal(received.length, 0, 'no echo');
  } finally {
    peer.close();
    const page = await openPage();
    page.ws.send(Buffer.alloc(0));
    await page.untilMessages(3);
    page.close();
  }
});

test('a 17th browser connection is closed with "no space to put"', async () => {
  await allSlotsFree();
  const since = program.mark();
  const peers = [];
  try {
    for (let i = 0; i < 16; i++) peers.push(await connect(WS_PORT));
    for (let slot = 0; slot < 16; slot++) {
      await program.waitForLine(new RegExp(`^\\[WS\\] putted, sock \\d+ in ${slot}$`), { since });
    }
    const extra = await connect(WS_PORT);
    await program.waitForLine('[WS] no space to put', { since });
    await extra.untilClosed();
    assert.ok(peers.every((peer) => !peer.closed), 'the 16 open connections are undisturbed');
  } finally {
    for (const peer of peers) peer.close();
  }
  // The slots are freed as the program reads the closes.
  const after = program.mark();
  for (let i = 0; i < 16; i++) await program.waitForLine(/^\[WS\] close, sock \d+$/, { since: after + i });
});
