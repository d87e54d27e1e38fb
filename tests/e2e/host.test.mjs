// Start-up, listeners, browser slots and the game-client admission.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import net from 'node:net';
import { startProgram, WS_PORT, MC_PORT, SLOW } from './lib/program.mjs';
import { connect, connectError, sleep } from './lib/net.mjs';

function occupy(port) {
  return new Promise((resolveListen, rejectListen) => {
    const server = net.createServer((socket) => socket.destroy()).once('error', rejectListen);
    server.listen({ port, host: '127.0.0.1', exclusive: true }, () => resolveListen(server));
  });
}

const release = (server) => new Promise((resolveClose) => server.close(() => resolveClose()));
const putted = (slot) => new RegExp(`^\\[WS\\] putted, sock -?\\d+ in ${slot}$`);
const wsClose = /^\[WS\] close, sock -?\d+$/;

test('start-up, listeners on 127.0.0.1 only, the 16 browser slots and the game-client admission', async () => {
  const program = await startProgram();
  const browsers = [];
  try {
    assert.deepEqual(program.linesSince(0).slice(0, 4).map((line) => line.replace(/-?\d+$/, 'N')), [
      '[MISC] assigning websocket master', '[MISC] websocket master assigned: N',
      '[MISC] assigning minecraft master', '[MISC] minecraft master assigned: N',
    ]);
    for (const port of [WS_PORT, MC_PORT]) {
      for (const host of ['127.0.0.2', '::1']) assert.equal(await connectError(port, host), 'ECONNREFUSED', `${host}:${port}`);
    }

    // 16 browsers fill the slots; a 17th is closed while the 16 stay.
    for (let slot = 0; slot < 16; slot++) {
      browsers.push(await connect(WS_PORT));
      await program.waitForLine(putted(slot));
    }
    const full = program.mark();
    const extra = await connect(WS_PORT);
    await program.waitForLine('[WS] no space to put', { since: full });
    await extra.untilClosed();
    assert.ok(browsers.every((browser) => !browser.closed), 'the 16 open connections stay');
    // A browser that closes frees its slot; a newcomer takes the lowest free one.
    for (const slot of [5, 2]) {
      const since = program.mark();
      browsers[slot].close();
      await program.waitForLine(wsClose, { since });
    }
    for (const slot of [2, 5]) {
      const since = program.mark();
      browsers[slot] = await connect(WS_PORT);
      await program.waitForLine(putted(slot), { since });
    }

    // With no room joined the standby handler takes a game client; a newcomer replaces it.
    let since = program.mark();
    const first = await connect(MC_PORT);
    assert.deepEqual(await program.linesUntil('[PROXY] no room handle reset', { since }),
      ['[PROXY] incoming mc master', '[PROXY] no room handle reset']);
    since = program.mark();
    const second = await connect(MC_PORT);
    assert.deepEqual(await program.linesUntil('[PROXY] no room handle reset', { since }), [
      '[PROXY] incoming mc master', '[PROXY] no room replaced', '[PROXY] close, handle_kind 2',
      '[PROXY] no room handle reset',
    ]);
    await first.untilClosed();
    second.close();
    await sleep(50);
  } finally {
    for (const browser of browsers) browser.close();
    await program.stop();
  }
});

test('a taken browser port is tried four times about 3 s apart, then the program exits with status 1', async () => {
  const blocker = await occupy(WS_PORT);
  try {
    const started = Date.now();
    const program = await startProgram({ waitForListeners: false });
    assert.equal(await program.waitForExit(40000 * SLOW), 1, 'exit status');
    const elapsed = Date.now() - started;
    assert.deepEqual(program.linesSince(0),
      ['[MISC] assigning websocket master', ...Array(4).fill('[MISC] error assigning websocket master')]);
    assert.equal(program.stderr.match(/^SOCK_CHECK_ERR: .+$/gm)?.length, 4, `stderr:\n${program.stderr}`);
    assert.ok(elapsed >= 8500, `exited after ${elapsed} ms, expected three pauses of 3 s`);
  } finally {
    await release(blocker);
  }
});

test('a taken game port is retried every 3 s until it is freed, then the loop runs', async () => {
  const blocker = await occupy(MC_PORT);
  const program = await startProgram({ waitForListeners: false });
  try {
    const options = { timeoutMs: 20000 * SLOW };
    const first = await program.waitForLine('[MISC] error assigning minecraft master', options);
    await program.waitForLine('[MISC] error assigning minecraft master', { ...options, since: first + 1 });
    await release(blocker);
    await program.waitForLine(/^\[MISC\] minecraft master assigned: -?\d+$/, options);
    const client = await connect(MC_PORT);
    await program.waitForLine('[PROXY] incoming mc master');
    client.close();
  } finally {
    if (blocker.listening) await release(blocker);
    await program.stop();
  }
});
