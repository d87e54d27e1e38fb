// The browser control channel: opening handshake, Origin test, frames and
// room commands, seen from WebSocket clients and raw sockets.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { startProgram, WS_PORT, SITE, SITE_DOMAIN } from './lib/program.mjs';
import { connect, connectSending, until, sleep } from './lib/net.mjs';
import { openPage, joinPayload, command, rawRequest, clientFrame } from './lib/ws.mjs';

const ipv4Join = joinPayload();
const ipv6Join = joinPayload({ host: '2001:db8::1', roomName: 'Six' });
const leave = Buffer.alloc(0);

let program;
before(async () => { program = await startProgram(); });
after(async () => { await program?.stop(); });

// What came back on a new connection before the program closed it.
const exchange = async (request) => (await (await connectSending(WS_PORT, request)).until()).toString('latin1');
const atLeast = (count) => (peer) => peer.received.length >= count;

test('the opening handshake: the exact 101 and 400 replies, then Origins accepted and refused', async () => {
  // The key and accept value of the sample handshake in RFC 6455, section 1.3,
  // then the greeting "1" and the empty record as two frames.
  let since = program.mark();
  const peer = await connectSending(WS_PORT, rawRequest(SITE));
  const reply = 'HTTP/1.1 101 Switching Protocols\r\nUPGRADE: websocket\r\nCONNECTION: UPGRADE\r\n' +
    'SEC-WEBSOCKET-ACCEPT: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n\x81\x011\x82\x00';
  assert.equal((await peer.until(atLeast(reply.length), 'the reply')).toString('latin1'), reply);
  peer.close();
  await program.waitForLine(/^\[WS\] open, sock = \d+$/, { since });

  for (const version of ['8', '269', null])
    assert.equal(await exchange(rawRequest(SITE, { version })),
      'HTTP/1.1 400 Bad Request\r\nSEC-WEBSOCKET-VERSION: 13\r\n\r\nBad request', `version ${version}`);
  // The Origin cases in full are the unit tests'; here one of each kind goes through the whole program.
  const page = await openPage(`http://${SITE_DOMAIN}:8443/rooms`);
  assert.deepEqual(page.messages, [{ binary: false, data: Buffer.from('1') }, { binary: true, data: leave }]);
  page.terminate();
  for (const origin of [`https://${SITE_DOMAIN}.attacker.net`, null]) {
    since = program.mark();
    assert.equal(await exchange(rawRequest(origin)), '', `Origin ${origin}: nothing sent`);
    await program.waitForLine('[WS] origin error', { since });
  }
});

test('payloads of 85 and 87 bytes and text frames change nothing; an IPv6 join is the record of a page that ' +
  'opens later', async (t) => {
  const opened = program.mark();
  const pages = [await openPage()];
  t.after(() => pages.forEach((page) => page.terminate()));
  // The opening's own lines may still be on their way from the program (under Wine, often).
  const since = 1 + await program.waitForLine(/^\[WS\] packet finish, sock \d+$/, { since: opened });
  for (const frame of [Buffer.alloc(85, 1), Buffer.alloc(87, 1), 'hello']) pages[0].send(frame);
  await until(() => program.linesSince(since).filter((line) => /^\[WS\] packet finish, sock \d+$/.test(line)).length === 3,
    'three frames handled', { describe: () => program.describe(since) });
  assert.equal(pages[0].messages.length, 2, 'no echo');
  await command(program, pages[0], ipv6Join);
  pages.push(await openPage());
  assert.deepEqual(pages[1].messages[1], { binary: true, data: ipv6Join });
  await command(program, pages[1], leave);
});

test('frames: a request and a frame sent in pieces, and two frames of the 64-bit form in one write, are each ' +
  'handled once whole; a ping closes the connection unanswered', async () => {
  const peer = await connect(WS_PORT);
  const join = clientFrame(0x82, ipv6Join);
  for (const [bytes, cuts, what] of [[rawRequest(SITE), [20, -2], 'the reply'], [join, [1, 9], 'the echo']]) {
    for (const part of [bytes.subarray(0, cuts[0]), bytes.subarray(...cuts), bytes.subarray(cuts[1])])
      await peer.send(part).then(() => sleep(50));
    await peer.until((p) => p.received.length >= 100, what);
    if (bytes === join) assert.equal(peer.received.toString('hex'), `8262${ipv6Join.toString('hex')}`);
    peer.received = Buffer.alloc(0);
  }
  await peer.send(Buffer.concat([clientFrame(0x82, ipv4Join, { form: 8 }), clientFrame(0x82, leave, { form: 8 })]));
  assert.equal((await peer.until(atLeast(90), 'two echoes')).toString('hex'), `8256${ipv4Join.toString('hex')}8200`);
  const since = program.mark();
  await peer.send(clientFrame(0x89, []));
  assert.equal((await peer.until()).length, 90, 'nothing sent back to the ping');
  await program.waitForLine(/^\[WS\] close, sock \d+$/, { since });
});

test('what a page sends cannot flood or forge the log', async () => {
  // Any page may send these: each request's log stays within 4 KiB, however long its lines or many.
  const filler = Array.from({ length: 60 }, (_, i) => `X-Filler-${i}: ${'f'.repeat(100)}`);
  const flood = Buffer.from([`GET /${'a'.repeat(8192)} HTTP/1.1`, ...filler, 'Origin: https://elsewhere.example']
    .join('\r\n') + '\r\n\r\n', 'latin1');
  for (let i = 0; i < 200; i++) {
    const since = program.mark();
    assert.equal(await exchange(flood), '', 'refused unanswered');
    await program.waitForLine(/^\[WS\] close, sock \d+$/, { since });
    const lines = program.linesSince(since);
    const bytes = lines.reduce((sum, line) => sum + line.length + 1, 0);
    assert.ok(bytes <= 4096 && lines.some((line) => /^\[WS\] \d+ header lines not logged$/.test(line)),
      `request ${i}: ${bytes} bytes logged:\n${lines.join('\n')}`);
    if (i === 0) assert.ok(lines.includes(`[WS] [GET /${'a'.repeat(250)} [cut, 8208 bytes in all]`), lines.join('\n'));
  }

  // Control bytes in a header show escaped: nothing looks like a line of the program's own.
  const since = program.mark();
  for (const [name, value] of [['Origin', `${SITE}\0.evil`], ['X-Note', 'a\n[PROXY] created proxy']]) {
    const request = rawRequest(SITE).toString('latin1').replace(`Origin: ${SITE}`, `${name}: ${value}`);
    assert.equal(await exchange(Buffer.from(request, 'latin1')), '', `${name}: refused`);
  }
  const lines = await program.linesUntil('[WS] [X-NOTE: a\\x0a[PROXY] created proxy]', { since });
  assert.ok(lines.includes(`[WS] [ORIGIN: ${SITE}\\x00.evil]`), lines.join('\n'));
  assert.ok(!lines.some((line) => line.startsWith('[PROXY]') || line.includes(`[ORIGIN: ${SITE}]`)), lines.join('\n'));
});
