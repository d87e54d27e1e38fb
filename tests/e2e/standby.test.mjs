// The standby server: what a game client sees on port 25565 while no room is
// joined. One program serves every test of this file.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import net from 'node:net';
import mc from 'minecraft-protocol';
import util from 'minecraft-server-util';
import tcpClientModule from 'minecraft-server-util/dist/structure/TCPClient.js';
import { startProgram, MC_PORT, SITE_DOMAIN } from './lib/program.mjs';
import { connect } from './lib/net.mjs';

const TCPClient = tcpClientModule.default;
const logo = readFileSync(new URL('../../assets/logo.png', import.meta.url));

// The documents as the game client should read them, member order included.
const bar = { text: '', extra: [{ color: 'white', obfuscated: true, text: '||' }] };
const tagline = (text) => ({ color: 'green', text: '', extra: [{ color: '#00CC66', bold: true, text }] });
const site = { color: 'green', text: '', extra: [{ color: '#00CC66', underlined: true, text: SITE_DOMAIN }] };
const standbyStatus = {
  version: { name: '§fv1', protocol: 1 },
  description: [
    bar, ' ', tagline('Nimbrel Client'), { color: 'white', text: '.\n' },
    bar, { color: 'white', text: ' select a room in ' }, site, { color: 'white', text: '.' },
  ],
  favicon: `data:image/png;base64,${logo.toString('base64')}`,
};
const standbyDisconnect = [
  bar, tagline(' Nimbrel Client'), { color: 'white', text: ' is in standby mode, ' }, bar, '\n',
  bar, { color: 'white', text: ' select a room in ' }, site, { color: 'white', text: '. ' }, bar,
];
const statusBytes = Buffer.from(JSON.stringify(standbyStatus));
const disconnectBytes = Buffer.from(JSON.stringify(standbyDisconnect));

function varint(value) {
  const out = [];
  do {
    out.push((value & 0x7f) | (value > 0x7f ? 0x80 : 0));
    value >>>= 7;
  } while (value > 0);
  return Buffer.from(out);
}

const frame = (...body) => Buffer.concat([varint(Buffer.concat(body.map((b) => Buffer.from(b))).length),
  ...body.map((b) => Buffer.from(b))]);
const handshake = (nextState, address = 'localhost') =>
  frame([0x00], varint(47), varint(address.length), address, [0x63, 0xdd], varint(nextState));
const statusRequest = frame([0x00]);
const ping = frame([0x01, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88]);
const textReply = (text) => Buffer.concat([varint(1 + varint(text.length).length + text.length), Buffer.from([0x00]),
  varint(text.length), text]);

const opened = ['[PROXY] incoming mc master', '[PROXY] no room handle reset'];
const packet = '[PROXY] no room packet';
const accepted = [packet, '[PROXY] handshake'];
const killed = ['[PROXY] no room handler killed', '[PROXY] close, handle_kind 2'];

let program;
before(async () => {
  program = await startProgram();
});
after(async () => {
  await program.stop();
});

// Sends bytes on a new connection and resolves with what came back before
// the program closed it, and the log lines of that connection.
async function exchange(bytes) {
  const since = program.mark();
  const peer = await connect(MC_PORT);
  await peer.send(bytes);
  const received = await peer.untilClosed();
  const lines = await program.linesUntil('[PROXY] close, handle_kind 2', { since });
  return { received, lines };
}

function assertFavicon(favicon) {
  const prefix = 'data:image/png;base64,';
  assert.ok(favicon.startsWith(prefix), `favicon starts with ${favicon.slice(0, 30)}`);
  const png = Buffer.from(favicon.slice(prefix.length), 'base64');
  assert.equal(png.subarray(0, 8).toString('hex'), '89504e470d0a1a0a', 'PNG signature');
  assert.equal(png.subarray(12, 16).toString('latin1'), 'IHDR', 'first chunk');
  assert.deepEqual([png.readUInt32BE(16), png.readUInt32BE(20), png[24], png[25]], [64, 64, 8, 6],
    'width, height, bits per channel, colour type (6 = RGBA)');
  assert.ok(png.equals(logo), 'favicon is assets/logo.png');
}

for (const version of ['1.8.8', '1.12.2', '1.16.5', '1.20.4', '1.21.4']) {
  test(`minecraft-protocol ${version} ping reads the standby status document`, async () => {
    const since = program.mark();
    // The program closes after the status response, so the pong never comes.
    // Its ping may then meet a reset connection, which the library reports
    // as an error although it had read the document.
    let document;
    const connectClient = (client) => {
      client.once('server_info', (info) => { document = JSON.parse(info.response); });
      // The library's own ending waits 30 s for a peer that is already gone.
      const end = client.end.bind(client);
      client.end = (reason) => {
        end(reason);
        clearTimeout(client.closeTimer);
        client.socket.destroy();
      };
      client.setSocket(net.connect(MC_PORT, '127.0.0.1'));
    };
    const response = await mc.ping({ host: '127.0.0.1', port: MC_PORT, version, noPongTimeout: 300,
      connect: connectClient }).catch((error) => {
      if (error.code === 'ECONNRESET' && document) return document;
      throw error;
    });
    delete response.latency;
    assertFavicon(response.favicon);
    assert.deepEqual(response, standbyStatus);
    assert.deepEqual(await program.linesUntil(killed[1], { since }),
      [...opened, ...accepted, packet, '[PROXY] status request', ...killed]);
  });
}

test('minecraft-server-util reads the standby status document, and its ping goes unanswered', async () => {
  // The same exchange as the library's status(), with its own client.
  const client = new TCPClient();
  await client.connect({ host: '127.0.0.1', port: MC_PORT, timeout: 5000 });
  try {
    client.writeVarInt(0x00);
    client.writeVarInt(47);
    client.writeStringVarInt('127.0.0.1');
    client.writeUInt16BE(MC_PORT);
    client.writeVarInt(1);
    await client.flush();
    client.writeVarInt(0x00);
    await client.flush();
    const packetLength = await client.readVarInt();
    await client.ensureBufferedData(packetLength);
    assert.equal(await client.readVarInt(), 0x00, 'packet id of the status response');
    const response = JSON.parse(await client.readStringVarInt());
    assertFavicon(response.favicon);
    assert.deepEqual(response, standbyStatus);
  } finally {
    client.close();
  }
  // status() itself wants a pong after the document; it gets the close.
  await assert.rejects(util.status('127.0.0.1', MC_PORT, { enableSRV: false, timeout: 5000 }),
    /Socket closed unexpectedly while waiting for data/);
});

for (const version of ['1.8.8', '1.21.4']) {
  test(`an offline-mode ${version} client's login is refused with the standby disconnect text`, async () => {
    const since = program.mark();
    const client = mc.createClient({ host: '127.0.0.1', port: MC_PORT, username: 'Steve', auth: 'offline', version });
    const reasons = [];
    const errors = [];
    client.on('disconnect', (packet) => reasons.push(packet.reason));
    client.on('error', (error) => errors.push(error.message));
    const endReason = await new Promise((resolveEnd) => client.on('end', resolveEnd));
    assert.equal(reasons.length, 1, `one disconnect packet; errors: ${errors.join(', ')}, end: ${endReason}`);
    assert.deepEqual(JSON.parse(reasons[0]), standbyDisconnect);
    assert.equal(reasons[0], disconnectBytes.toString(), 'exact text');
    assert.deepEqual(await program.linesUntil(killed[1], { since }),
      [...opened, ...accepted, packet, '[PROXY] login start', ...killed]);
  });
}

test('handshake and status request in one segment get the status response, then the close; a ping after them is dropped', async () => {
  const { received, lines } = await exchange(Buffer.concat([handshake(1), statusRequest, ping]));
  assert.equal(received.length, textReply(statusBytes).length, 'reply length');
  assert.ok(received.equals(textReply(statusBytes)), `reply starts ${received.subarray(0, 8).toString('hex')}`);
  assert.deepEqual(lines, [...opened, ...accepted, packet, '[PROXY] status request', ...killed]);
});

test('a ping without status request gets the 10-byte pong echoing its payload', async () => {
  const { received, lines } = await exchange(Buffer.concat([handshake(1), ping]));
  assert.equal(received.toString('hex'), ping.toString('hex'));
  assert.equal(received.length, 10);
  assert.deepEqual(lines, [...opened, ...accepted, packet, '[PROXY] ping request', '[PROXY] ping len: 9', ...killed]);
});

test('a zero length between packets is skipped', async () => {
  const { received, lines } = await exchange(Buffer.concat([handshake(1), Buffer.from([0x00]), statusRequest]));
  assert.ok(received.equals(textReply(statusBytes)), `reply of ${received.length} bytes`);
  assert.deepEqual(lines, [...opened, ...accepted, packet, '[PROXY] status request', ...killed]);
});

test('the legacy ping byte 0xFE closes the connection without a reply', async () => {
  const { received, lines } = await exchange(Buffer.from([0xfe, 0x01, 0xfa]));
  assert.equal(received.length, 0, `received ${received.toString('hex')}`);
  assert.deepEqual(lines, [...opened, ...killed]);
});

test('a handshake with next state 3 is an unexpected interaction', async () => {
  const { received, lines } = await exchange(handshake(3));
  assert.equal(received.length, 0, `received ${received.toString('hex')}`);
  assert.deepEqual(lines, [...opened, packet, '[PROXY] unexpected interaction', ...killed]);
});

test('a handshake of 128 bytes or more is refused at its length byte', async () => {
  const long = handshake(1, 'h'.repeat(122));
  assert.equal(long.subarray(0, 2).toString('hex'), '8001', 'the handshake needs a two-byte length');
  const { received, lines } = await exchange(long);
  assert.equal(received.length, 0, `received ${received.toString('hex')}`);
  assert.deepEqual(lines, [...opened, ...killed]);
});

test('a status request before any handshake is an unexpected interaction', async () => {
  const { received, lines } = await exchange(Buffer.concat([statusRequest, handshake(1)]));
  assert.equal(received.length, 0, `received ${received.toString('hex')}`);
  assert.deepEqual(lines, [...opened, packet, '[PROXY] unexpected interaction', ...killed]);
});

test('a client that closes mid-packet ends the handler without a reply', async () => {
  const since = program.mark();
  const peer = await connect(MC_PORT);
  await peer.send(Buffer.concat([handshake(1), ping.subarray(0, 4)]));
  await program.waitForLine('[PROXY] handshake', { since });
  peer.close();
  const lines = await program.linesUntil('[PROXY] close, handle_kind 2', { since });
  assert.equal(peer.received.length, 0);
  assert.deepEqual(lines, [...opened, ...accepted, '[PROXY] close, handle_kind 2']);
});
