// Start-up, listeners and the game-client admission.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import net from 'node:net';
import { startProgram, WS_PORT, MC_PORT, SLOW } from './lib/program.mjs';
import { connect, sleep, until } from './lib/net.mjs';
import { openPage, command, joinPayload } from './lib/ws.mjs';

// Holds `port` on 127.0.0.1 until test `t` ends (or `release()`).
async function occupy(port, t) {
  const server = net.createServer((socket) => socket.destroy());
  await new Promise((listening, failed) =>
    server.once('error', failed).listen({ port, host: '127.0.0.1', exclusive: true }, listening));
  const release = () => server.listening && new Promise((closed) => server.close(closed));
  t.after(release);
  return release;
}

test('start-up, listeners on 127.0.0.1 only, and the game-client admission', async (t) => {
  const program = await startProgram();
  t.after(() => program.stop());
  for (const port of [WS_PORT, MC_PORT])
    for (const host of ['127.0.0.2', '::1'])
      await assert.rejects(connect(port, host).then((peer) => peer.close()), { code: 'ECONNREFUSED' }, `${host}:${port}`);

  // With no room joined the standby handler takes a game client; a newcomer replaces it.
  let since = program.mark();
  const first = await connect(MC_PORT);
  assert.deepEqual(await program.linesUntil('[PROXY] no room handle reset', { since }),
    ['[PROXY] incoming mc master', '[PROXY] no room handle reset']);
  since = program.mark();
  const second = await connect(MC_PORT);
  assert.deepEqual(await program.linesUntil('[PROXY] no room handle reset', { since }), ['[PROXY] incoming mc master',
    '[PROXY] no room replaced', '[PROXY] close, handle_kind 2', '[PROXY] no room handle reset']);
  await first.until();
  second.close();
  await sleep(50);
});

test('a taken browser port is tried four times about 3 s apart, then the program exits with status 1', async (t) => {
  await occupy(WS_PORT, t);
  const started = Date.now();
  const program = await startProgram({ waitForListeners: false });
  // The exit may be seen before the last of the output has been read.
  await until(() => program.exitCode !== undefined && program.lines.length >= 6 &&
    program.stderr.match(/^SOCK_CHECK_ERR: .+$/gm)?.length >= 4, 'program exit', { timeoutMs: 40000 * SLOW });
  const elapsed = Date.now() - started;
  assert.equal(program.exitCode, 1, 'exit status');
  assert.match(program.lines[0] ?? '', /^\[MISC\] Nimbrel Client \d+\.\d+\.\d+ \(process \d+\) starting$/);
  assert.deepEqual(program.linesSince(1),
    ['[MISC] assigning websocket master', ...Array(4).fill('[MISC] error assigning websocket master')]);
  assert.equal(program.stderr.match(/^SOCK_CHECK_ERR: .+$/gm)?.length, 4, `stderr:\n${program.stderr}`);
  assert.ok(elapsed >= 8500, `exited after ${elapsed} ms, expected three pauses of 3 s`);
});

test('while another program holds the game port, pages are served and the port is tried every 3 s', async (t) => {
  const release = await occupy(MC_PORT, t);
  const program = await startProgram({ waitForListeners: false });
  t.after(() => program.stop());
  const options = { timeoutMs: 20000 * SLOW };
  await program.waitForLine(/^\[MISC\] error assigning minecraft master: .+; trying again every 3 s$/, options);
  await command(program, await openPage(), joinPayload());
  await sleep(3500 * SLOW);
  assert.equal(program.lines.filter((line) => line.includes('error assigning minecraft master')).length, 1,
    'the cause is said once');
  await release();
  await program.waitForLine(/^\[MISC\] minecraft master assigned: -?\d+$/, options);
  const client = await connect(MC_PORT);
  await program.waitForLine('[PROXY] incoming mc master');
  client.close();
});

test('the line logged before a retry\'s pause is out before it: a stop during the pause keeps it', async (t) => {
  await occupy(WS_PORT, t);
  const program = await startProgram({ waitForListeners: false });
  t.after(() => program.stop().catch(() => {}));
  await until(() => program.stderr.includes('SOCK_CHECK_ERR: '), 'the first failure', { timeoutMs: 20000 * SLOW });
  await sleep(500).then(() => program.child.kill('SIGTERM')).then(() => program.exited);
  assert.deepEqual(program.lines.slice(-2), ['[MISC] assigning websocket master', '[MISC] error assigning websocket master']);
});
