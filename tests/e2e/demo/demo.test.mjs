// `make demo` as a player would use it, headless: Chromium picks a room on the demo site, a game client is greeted
// there under the page's name, the page switches rooms and leaves, and Ctrl-C ends everything the demo started.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { readFileSync } from 'node:fs';
import { fileURLToPath } from 'node:url';
import nbt from 'prismarine-nbt';
import { chromium } from 'playwright-core';
import { Program, MC_PORT, WS_PORT } from '../lib/program.mjs';
import { connect } from '../lib/net.mjs';
import { gameClient } from '../lib/rooms.mjs';

const TIMEOUT = 20000;
const SITE = 'http://localhost:8080';
const NICK = 'Demo_Player';
const root = new URL('../../../', import.meta.url);
const { version, rooms } = JSON.parse(readFileSync(new URL('web/demo/rooms.json', root), 'utf8'));
const [meadow, harbour] = rooms;

const demo = new Program(spawn('node', [fileURLToPath(new URL('scripts/demo.mjs', root))],
  { stdio: ['ignore', 'pipe', 'pipe'] }));
let browser;
after(async () => {
  await browser?.close();
  if (demo.exitCode === undefined) demo.child.kill('SIGKILL');
});

// A game client under a name the program replaces; with intent 3 it comes
// back as a game sent on by a Transfer packet does.
const game = (intent = 2) => gameClient(version, { intent })
  .once('position', function () { this.write('player_loaded', {}); });

// The greeting the room gives a game client, which then leaves unless kept.
async function greeting(client, keep = false) {
  try {
    const [packet] = await once(client, 'system_chat', { signal: AbortSignal.timeout(TIMEOUT) });
    return nbt.simplify(packet.content).text;
  } finally {
    if (!keep) client.end();
  }
}

test('the page joins a room, the game is greeted there under the page\'s name; the page switches rooms and leaves, ' +
  'its state line following; Ctrl-C ends it all', { timeout: 6 * TIMEOUT }, async () => {
  await demo.waitForLine(/^nimbrel-client \| ready/, { timeoutMs: TIMEOUT });
  assert.ok(demo.lines.some((line) => line.includes(`speak Minecraft Java ${version}`)), demo.describe());
  browser = await chromium.launch({ executablePath: '/usr/bin/chromium', timeout: TIMEOUT,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--no-first-run'] });
  const context = await browser.newContext({ viewport: { width: 900, height: 440 } });
  await context.grantPermissions(['local-network-access'], { origin: SITE });
  const page = await context.newPage();
  page.setDefaultTimeout(TIMEOUT);
  const stateIs = async (name, text) => {
    await page.waitForSelector(`#state[data-state="${name}"]`);
    if (text) assert.match(await page.locator('#state').textContent(), text);
  };
  const joinRoom = (room) => page.locator('tr', { hasText: room.roomName }).getByRole('button').click();

  await page.goto(`${SITE}/`);
  await stateIs('standby');
  await page.fill('#nick', NICK);
  await joinRoom(meadow);
  await stateIs('room', new RegExp(`${meadow.roomName} .*${meadow.ownerName}.* as ${NICK}`));
  const first = game();
  assert.equal(await greeting(first, true), `Welcome to ${meadow.roomName}, ${NICK}!`);
  await page.screenshot({ path: fileURLToPath(new URL('docs/demo.png', root)) });

  // The game in Meadow is sent on to 127.0.0.1 and comes back as the game
  // would, with intent 3; the program takes it to Harbour.
  const transferred = once(first, 'transfer', { signal: AbortSignal.timeout(TIMEOUT) });
  await joinRoom(harbour);
  await stateIs('room', new RegExp(`${harbour.roomName} .* as ${NICK}`));
  const [transfer] = await transferred;
  assert.deepEqual([transfer.host, transfer.port], ['127.0.0.1', MC_PORT]);
  first.end();
  assert.equal(await greeting(game(3)), `Welcome to ${harbour.roomName}, ${NICK}!`);

  await page.click('#leave');
  await stateIs('standby');
  await demo.waitForLine(/^nimbrel-client \| a page: leave room$/, { timeoutMs: TIMEOUT });
  // The terminal sums up each request; the program's log, headers and all, is in its file.
  assert.ok(demo.lines.includes('nimbrel-client | page http://localhost:8080: connected'), demo.describe());
  assert.ok(!demo.lines.some((line) => line.includes('[WS]')), demo.describe());
  assert.match(readFileSync(new URL('build-demo/nimbrel-client.log', root), 'utf8'), /^\[WS\] \[ORIGIN: http:\/\/localhost:8080\]$/m);

  demo.child.kill('SIGINT');
  assert.equal(await demo.exited, 0, demo.describe());
  for (const port of [8080, WS_PORT, MC_PORT, meadow.port])
    await assert.rejects(connect(port), { code: 'ECONNREFUSED' }, `port ${port} still open after Ctrl-C`);
  await stateIs('absent');
});
