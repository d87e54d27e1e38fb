// The site's page in a real browser: Debian's Chromium loads the companion
// kit from a page served as the site, opens the channel to the program, joins
// a room, and is turned away when served from another origin.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { chromium } from 'playwright-core';
import { startProgram, SITE, SLOW } from './lib/program.mjs';

const TIMEOUT = 20000 * SLOW;
// Chromium asks the player before a public site may reach 127.0.0.1 (Local
// Network Access); this is the name Playwright grants it under.
const LOCAL_ACCESS = 'local-network-access';
const kit = await readFile(new URL('../../web/nimbrel-companion.js', import.meta.url), 'utf8');
const html = `<!doctype html>
<meta charset="utf-8">
<title>Rooms</title>
<script type="module">
  import { NimbrelCompanion } from './nimbrel-companion.js';
  const plain = (value) => JSON.parse(JSON.stringify(value ?? null,
    (key, v) => (v instanceof Uint8Array ? Array.from(v) : v)));
  window.events = [];
  window.companion = new NimbrelCompanion();
  for (const type of ['open', 'record', 'close', 'refused']) {
    window.companion.addEventListener(type, (event) => window.events.push({ type, detail: plain(event.detail) }));
  }
  window.kitLoaded = true;
</script>`;

let program;
let browser;
before(async () => {
  program = await startProgram();
  browser = await chromium.launch({ executablePath: '/usr/bin/chromium', timeout: TIMEOUT, args: ['--headless',
    '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-quic', '--no-first-run',
    '--disable-component-update', '--disable-sync'] });
});
after(async () => {
  await browser?.close();
  await program?.stop();
});

// Runs `check` on a page of `origin` with the kit loaded, served by request
// interception; the player has allowed (or not) the site to reach programs on the device.
async function withSitePage(origin, allowLocalAccess, check) {
  const context = await browser.newContext();
  try {
    if (allowLocalAccess) await context.grantPermissions([LOCAL_ACCESS], { origin });
    const page = await context.newPage();
    page.setDefaultTimeout(TIMEOUT);
    await page.route(`${origin}/**`, (route) => {
      const path = new URL(route.request().url()).pathname;
      const body = { '/': html, '/nimbrel-companion.js': kit }[path];
      const contentType = path === '/' ? 'text/html' : 'text/javascript';
      return route.fulfill(body === undefined ? { status: 404, body: '' } : { status: 200, contentType, body });
    });
    await page.goto(`${origin}/`);
    await page.waitForFunction(() => window.kitLoaded === true);
    await check(page, context);
  } finally {
    await context.close();
  }
}

const connect = (page) =>
  page.evaluate(() => window.companion.connect().then(() => 'open', (error) => `refused: ${error.reason}`));
const eventsOf = (page, type) => page.evaluate((wanted) => window.events.filter((e) => e.type === wanted), type);
async function untilEvents(page, type, count) {
  await page.waitForFunction(([wanted, n]) => window.events.filter((e) => e.type === wanted).length >= n, [type, count]);
  return eventsOf(page, type);
}

test('the site\'s page opens the channel, gets the empty record and sees its joins and leave echoed',
  { timeout: 4 * TIMEOUT }, () => withSitePage(SITE, true, async (page) => {
    const since = program.mark();
    assert.equal(await connect(page), 'open');
    assert.deepEqual((await untilEvents(page, 'record', 1))[0].detail, { joined: false }, 'the record on opening');
    await program.waitForLine(/^\[WS\] open, sock = \d+$/, { since });
    assert.ok(program.linesSince(since).includes(`[WS] [ORIGIN: ${SITE}]`), program.describe(since));

    await page.evaluate(() => window.companion.join({ siteData: 'listing-42', roomName: 'Sky Lobby', ownerName: 'Ann',
      nick: 'Bob', address: '192.0.2.10', port: 25570 }));
    const { siteData, ...fields } = (await untilEvents(page, 'record', 2))[1].detail;
    assert.deepEqual(fields, { joined: true, family: 'ipv4', roomName: 'Sky Lobby', ownerName: 'Ann', nick: 'Bob',
      address: '192.0.2.10', port: 25570 });
    assert.equal(Buffer.from(siteData).toString('latin1'), 'listing-42\0\0\0\0\0\0');
    await program.waitForLine('[WS] join room (ipv4)', { since });

    await page.evaluate(() => window.companion.join({ roomName: 'Six', ownerName: 'Ann', nick: 'Bob',
      address: '2001:db8::7', port: 25565 }));
    await page.evaluate(() => window.companion.leave());
    const records = await untilEvents(page, 'record', 4);
    assert.equal(records[2].detail.address, '2001:db8::7');
    assert.deepEqual(records[3].detail, { joined: false }, 'the leave echoed');
    await program.waitForLine('[WS] leave room', { since });
  }));

test('the same page served from another origin is refused by the program', { timeout: 4 * TIMEOUT },
  () => withSitePage('https://rooms.other.example', true, async (page) => {
    const since = program.mark();
    assert.equal(await connect(page), 'refused: unreachable');
    assert.equal((await eventsOf(page, 'refused'))[0].detail.permission, 'granted', 'the browser let the page through');
    await program.waitForLine('[WS] origin error', { since });
    assert.ok(program.linesSince(since).includes('[WS] [ORIGIN: https://rooms.other.example]'), program.describe(since));
    assert.deepEqual(await eventsOf(page, 'open'), []);
  }));

test('a player who refuses local network access is reported as such', { timeout: 4 * TIMEOUT },
  () => withSitePage(SITE, false, async (page, context) => {
    // The player's "Block" answer to the prompt, as the browser stores it.
    // Playwright only grants, so the refusal goes through the DevTools protocol.
    const session = await context.newCDPSession(page);
    const { targetInfo } = await session.send('Target.getTargetInfo');
    await session.send('Browser.setPermission', { permission: { name: LOCAL_ACCESS }, setting: 'denied', origin: SITE,
      browserContextId: targetInfo.browserContextId });
    const since = program.mark();
    assert.equal(await connect(page), 'refused: permission-denied');
    assert.equal((await eventsOf(page, 'refused'))[0].detail.permission, 'denied');
    assert.ok(!program.linesSince(since).some((line) => line.startsWith('[WS] packet')),
      `the request reached the program:\n${program.describe(since)}`);
  }));
