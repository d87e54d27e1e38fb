// The loop's bounds seen from outside: no connection that stops making
// progress locks the player out, no goodbye or unread log freezes the loop,
// and a burst of pages is absorbed.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import net from 'node:net';
import { spawn } from 'node:child_process';
import { startProgram, programPath, isWindowsProgram, MC_PORT, WS_PORT, SITE, SLOW } from './lib/program.mjs';
import { Peer, connect, connectSending, sleep, until } from './lib/net.mjs';
import { handshake, statusRequest, ping, loginStart } from './lib/game.mjs';
import { openPage, command, joinPayload, rawRequest } from './lib/ws.mjs';

// A room server on 127.0.0.1 that accepts and keeps every connection, as peers that gather what they are sent.
async function idleRoom(t) {
  const peers = [];
  const server = net.createServer((socket) => peers.push(new Peer(socket)));
  await new Promise((listening) => server.listen(0, '127.0.0.1', listening));
  t.after(() => { server.close(); peers.forEach((peer) => peer.close()); });
  server.unref();
  return { port: server.address().port, peers, close: () => server.close() };
}

// Asserts that a ping (handshake, status request, ping) has its pong within limit ms.
async function pingWithin(limit, what) {
  const started = Date.now();
  const peer = await connectSending(MC_PORT, Buffer.concat([handshake(1), statusRequest, ping]));
  await peer.until((p) => p.received.length >= ping.length && p.received.subarray(-ping.length).equals(ping),
    'the pong', 15000 * SLOW);
  peer.close();
  assert.ok(Date.now() - started < limit * SLOW, `${what}, the ping took ${Date.now() - started} ms`);
}

// Asserts that a page of the site opens within limit ms.
async function openWithin(limit, what) {
  const started = Date.now();
  (await openPage()).close();
  assert.ok(Date.now() - started < limit * SLOW, `${what}: a page took ${Date.now() - started} ms to open`);
}

test('a game connection that stops making progress gives way to the player within seconds', async (t) => {
  const program = await startProgram();
  t.after(() => program.stop());
  const room = await idleRoom(t);
  await command(program, await openPage(), joinPayload({ host: '127.0.0.1', port: room.port, nick: 'RoomNick' }));
  const parked = {
    'a silent connection': [],
    'a status handshake and one byte': [handshake(1), Buffer.from([0x05])],
    'a login handshake without Login Start': [handshake(2)],
    'an old-style ping': [Buffer.from([0xFE, 0x01, 0xFA])],
  };
  for (const [what, bytes] of Object.entries(parked)) {
    const peer = await connectSending(MC_PORT, Buffer.concat(bytes));
    await sleep(100).then(() => pingWithin(5000, `behind ${what}`)).finally(() => peer.close());
  }
  // Two silent connections in a row: the first is held, and dropped in time.
  const since = program.mark();
  const silent = [await connect(MC_PORT), await connect(MC_PORT)];
  await program.waitForLine('[PROXY] silent client held', { since });
  await pingWithin(5000, 'behind two silent connections');
  const login = await connectSending(MC_PORT, Buffer.concat([handshake(2), loginStart('Player_One')]));
  await until(() => room.peers.some((peer) => peer.received.includes('RoomNick')), 'the login in the room');
  await program.waitForLine('[PROXY] held client dropped, waited too long', { since, timeoutMs: 15000 * SLOW });
  await silent[0].until();
  login.close();
  silent[1].close();
});

test('a farewell to a client that keeps sending never holds the loop up', async (t) => {
  const program = await startProgram();
  t.after(() => program.stop());
  // A room where nothing listens: the login is refused with a farewell.
  const closed = await idleRoom(t);
  closed.close();
  await command(program, await openPage(), joinPayload({ host: '127.0.0.1', port: closed.port }));
  const since = program.mark();
  // The flood comes from a process of its own, which keeps the connection full whatever this one does.
  const login = Buffer.concat([handshake(2), loginStart('Player_One')]).toString('hex');
  const flooder = spawn(process.execPath, ['-e', `const s = require('node:net').connect({ port: ${MC_PORT}, host: '127.0.0.1', allowHalfOpen: true });
    s.on('error', () => process.exit()).on('close', () => process.exit());
    s.write(Buffer.from('${login}', 'hex'));
    const junk = Buffer.alloc(65536, 0x42); const more = () => { while (s.write(junk)); }; s.on('drain', more); more();`]);
  t.after(() => flooder.kill('SIGKILL'));
  await program.waitForLine('[PROXY] sent login disconnect', { since });
  for (let i = 0; i < 5; i++) await openWithin(1000, 'during the flood');
  await new Promise((closed) => flooder.exitCode !== null ? closed() : flooder.once('exit', closed));
});

test('a burst of pages is absorbed, and the site page gets in amid silent connections', async (t) => {
  const program = await startProgram();
  t.after(() => program.stop());
  const silent = await Promise.all(Array.from({ length: 20 }, () => connect(WS_PORT)));
  t.after(() => silent.forEach((peer) => peer.close()));
  await sleep(1200);
  await openWithin(1000, 'amid 20 silent connections');

  // Fifty openings at once, each closed once answered.
  const started = Date.now();
  const times = await Promise.all(Array.from({ length: 50 }, async () => {
    const peer = await connectSending(WS_PORT, rawRequest(SITE));
    await peer.until((p) => p.received.includes('HTTP/1.1 101'), 'the opening answered', 10000 * SLOW);
    peer.close();
    return Date.now() - started;
  }));
  const slowest = Math.max(...times);
  assert.ok(slowest < 3000 * SLOW, `the slowest of 50 openings took ${slowest} ms`);
});

test('a log that nobody reads never stops the program', { skip: isWindowsProgram && 'Wine pipes' }, async (t) => {
  // Standard output is a pipe that is never read.
  const child = spawn(programPath, [], { stdio: ['ignore', 'pipe', 'ignore'] });
  child.stdout.pause();
  t.after(() => child.kill('SIGKILL'));
  for (let up = false; !up; await sleep(50))
    up = await connect(WS_PORT).then((peer) => (peer.close(), true), () => false);
  for (let i = 0; i < 400; i++) {
    const peer = await connectSending(WS_PORT, rawRequest(SITE));
    await peer.until((p) => p.received.includes('HTTP/1.1 101'), `opening ${i} answered`, 5000);
    peer.close();
  }
});
