// Start-up, listeners, browser slots and the game-client admission.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import net from 'node:net';
import { startProgram, WS_PORT, MC_PORT, SLOW } from './lib/program.mjs';
import { connect, connectError, sleep } from './lib/net.mjs';

function occupy(port) {
  return new Promise((resolveListen, rejectListen) => {
    const server = net.createServer((socket) => socket.destroy());
    server.once('error', rejectListen);
    server.listen({ port, host: '127.0.0.1', exclusive: true }, () => resolveListen(server));
  });
}

function release(server) {
  return new Promise((resolveClose) => server.close(() => resolveClose()));
}

test('start-up logs each step in order and both listeners take connections', async () => {
  const program = await startProgram();
  try {
    const start = program.linesSince(0).slice(0, 4).map((line) => line.replace(/-?\d+$/, 'N'));
    assert.deepEqual(start, [
      '[MISC] assigning websocket master',
      '[MISC] websocket master assigned: N',
      '[MISC] assigning minecraft master',
      '[MISC] minecraft master assigned: N',
    ]);
    const browser = await connect(WS_PORT);
    await program.waitForLine(/^\[WS\] putted, sock -?\d+ in 0$/);
    browser.close();
  } finally {
    await program.stop();
  }
});

test('listens on 127.0.0.1 only', async () => {
  const program = await startProgram();
  try {
    for (const port of [WS_PORT, MC_PORT]) {
      assert.equal(await connectError(port, '127.0.0.2'), 'ECONNREFUSED', `port ${port} on 127.0.0.2`);
      assert.equal(await connectError(port, '::1'), 'ECONNREFUSED', `port ${port} on ::1`);
    }
  } finally {
    await program.stop();
  }
});

test('a taken browser port is tried four times about 3 s apart, then the program exits with status 1', async () => {
  const blocker = await occupy(WS_PORT);
  try {
    const started = Date.now();
    const program = await startProgram({ waitForListeners: false });
    const code = await program.waitForExit(40000 * SLOW);
    const elapsed = Date.now() - started;
    assert.equal(code, 1, 'exit status');
    assert.deepEqual(program.linesSince(0), [
      '[MISC] assigning websocket master',
      '[MISC] error assigning websocket master',
      '[MISC] error assigning websocket master',
      '[MISC] error assigning websocket master',
      '[MISC] error assigning websocket master',
    ]);
    assert.equal(program.stderr.match(/^SOCK_CHECK_ERR: .+$/gm)?.length, 4, `stderr:\n${program.stderr}`);
    assert.ok(elapsed >= 8500, `exited after ${elapsed} ms, expected three pauses of 3 s`);
  } finally {
    await release(blocker);
  }
});

test('a taken game port is retried every 3 s until it is freed, then the loop runs', async () => {
  const blocker = await occupy(MC_PORT);
  let program;
  try {
    program = await startProgram({ waitForListeners: false });
    await program.waitForLine('[MISC] error assigning minecraft master', { timeoutMs: 20000 * SLOW });
    await program.waitForLine('[MISC] error assigning minecraft master', { since: program.mark(), timeoutMs: 20000 * SLOW });
    await release(blocker);
    await program.waitForLine(/^\[MISC\] minecraft master assigned: -?\d+$/, { timeoutMs: 20000 * SLOW });
    assert.equal(program.exitCode, undefined, 'the program keeps running');
    const client = await connect(MC_PORT);
    await program.waitForLine('[PROXY] incoming mc master');
    client.close();
  } finally {
    if (blocker.listening) await release(blocker);
    await program?.stop();
  }
});

test('a 17th browser connection is closed with "no space to put" while 16 stay, and the lowest free slot is reused', async () => {
  const program = await startProgram();
  const browsers = [];
  try {
    for (let slot = 0; slot < 16; slot++) {
      browsers.push(await connect(WS_PORT));
      await program.waitForLine(new RegExp(`^\\[WS\\] putted, sock -?\\d+ in ${slot}$`));
    }
    const since = program.mark();
    const extra = await connect(WS_PORT);
    await program.waitForLine('[WS] no space to put', { since });
    await extra.untilClosed();
    assert.ok(browsers.every((browser) => !browser.closed), 'the 16 open connections stay');

    // A browser that closes frees its slot; the next newcomer takes the lowest free one.
    let mark = program.mark();
    browsers[5].close();
    await program.waitForLine(/^\[WS\] close, sock -?\d+$/, { since: mark });
    mark = program.mark();
    browsers[2].close();
    await program.waitForLine(/^\[WS\] close, sock -?\d+$/, { since: mark });
    mark = program.mark();
    browsers[2] = await connect(WS_PORT);
    await program.waitForLine(/^\[WS\] putted, sock -?\d+ in 2$/, { since: mark });
    mark = program.mark();
    browsers[5] = await connect(WS_PORT);
    await program.waitForLine(/^\[WS\] putted, sock -?\d+ in 5$/, { since: mark });
  } finally {
    for (const browser of browsers) browser.close();
    await program.stop();
  }
});

test('a game client with no room joined is admitted by the standby handler, and a newcomer replaces it', async () => {
  const program = await startProgram();
  try {
    let since = program.mark();
    const first = await connect(MC_PORT);
    const admitted = await program.linesUntil('[PROXY] no room handle reset', { since });
    assert.deepEqual(admitted, ['[PROXY] incoming mc master', '[PROXY] no room handle reset']);

    since = program.mark();
    const second = await connect(MC_PORT);
    const replaced = await program.linesUntil('[PROXY] no room handle reset', { since });
    assert.deepEqual(replaced, [
      '[PROXY] incoming mc master',
      '[PROXY] no room replaced',
      '[PROXY] close, handle_kind 2',
      '[PROXY] no room handle reset',
    ]);
    await first.untilClosed();
    second.close();
    await sleep(50);
  } finally {
    await program.stop();
  }
});
