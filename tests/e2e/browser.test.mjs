// The site's page in a real browser: Debian's Chromium loads the companion kit from a page served as the
// site, opens the channel to the program, joins a room, and is turned away when served from another origin or
// when the player refuses the site access to the device. (The kit's other refusals, its bad calls, time-outs
// and reconnecting are tested against the fake program in demo/kit.test.mjs.)
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { chromium } from 'playwright-core';
import { startProgram, SITE, SLOW } from './lib/program.mjs';

const TIMEOUT = 20000 * SLOW;
const OTHER = 'https://rooms.other.example';
// Chromium asks before a public site may reach 127.0.0.1 (Local Network Access); Playwright grants it by this name.
const LOCAL_ACCESS = 'local-network-access';
const kit = await readFile(new URL('../../web/nimbrel-companion.js', import.meta.url), 'utf8');
const html = `<!doctype html><meta charset="utf-8"><title>Rooms</title>
<script type="module">
  import * as kit from './nimbrel-companion.js';
  window.kit = kit;
  const plain = (value) => JSON.parse(JSON.stringify(value ?? null, (k, v) => (v instanceof Uint8Array ? Array.from(v) : v)));
  // A companion whose events land in the given list.
  window.watched = (companion, events) => (['open', 'record', 'close', 'refused', 'reconnecting'].forEach((type) =>
    companion.addEventListener(type, (event) => events.push({ type, detail: plain(event.detail) }))), companion);
  window.companion = window.watched(new kit.NimbrelCompanion(), window.events = []);
  window.kitLoaded = true;
</script>`;

let program, browser, context;
before(async () => {
  program = await startProgram();
  browser = await chromium.launch({ executablePath: '/usr/bin/chromium', timeout: TIMEOUT, args: ['--headless',
    '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-quic', '--no-first-run',
    '--disable-component-update', '--disable-sync'] });
  context = await browser.newContext();
  // The kit's page on any origin, served by request interception.
  await context.route(/^https:/, (route) => {
    const path = new URL(route.request().url()).pathname;
    const body = { '/': html, '/nimbrel-companion.js': kit }[path];
    return route.fulfill(body === undefined ? { status: 404, body: '' }
      : { status: 200, contentType: path === '/' ? 'text/html' : 'text/javascript', body });
  });
});
after(async () => {
  await browser?.close();
  await program?.stop();
});

// A page of `origin` with the kit loaded, and its companion's connect() tried: 'open' or 'refused: <reason>'.
async function sitePage(origin) {
  const page = await context.newPage();
  page.setDefaultTimeout(TIMEOUT);
  await page.goto(`${origin}/`);
  await page.waitForFunction(() => window.kitLoaded === true);
  const outcome = await page.evaluate(() => window.companion.connect().then(() => 'open', (e) => `refused: ${e.reason}`));
  return { page, outcome };
}
async function untilEvents(page, type, count) {
  await page.waitForFunction(([wanted, n]) => window.events.filter((e) => e.type === wanted).length >= n, [type, count]);
  return page.evaluate((wanted) => window.events.filter((e) => e.type === wanted), type);
}

test('a player\'s refusal of local network access is reported; once allowed, the site\'s page opens the channel and ' +
  'sees its joins and leave echoed; from another origin it is refused by the program', { timeout: 8 * TIMEOUT }, async () => {
  // The player's "Block" answer to the prompt, as the browser stores it. Playwright
  // only grants, so the refusal goes through the DevTools protocol.
  const session = await context.newCDPSession(await context.newPage());
  const { targetInfo } = await session.send('Target.getTargetInfo');
  await session.send('Browser.setPermission', { permission: { name: LOCAL_ACCESS }, setting: 'denied', origin: SITE,
    browserContextId: targetInfo.browserContextId });
  let since = program.mark();
  assert.equal((await sitePage(SITE)).outcome, 'refused: permission-denied');
  assert.ok(!program.linesSince(since).some((line) => line.startsWith('[WS] packet')),
    `the request reached the program:\n${program.describe(since)}`);

  for (const origin of [SITE, OTHER]) await context.grantPermissions([LOCAL_ACCESS], { origin });
  const { page, outcome } = await sitePage(SITE);
  assert.equal(outcome, 'open');
  assert.deepEqual((await untilEvents(page, 'record', 1))[0].detail, { joined: false }, 'the record on opening');
  const room = { roomName: 'Sky Lobby', ownerName: 'Ann', nick: 'Bob', address: '192.0.2.10', port: 25570 };
  await page.evaluate(async (room) => {
    await window.companion.join({ siteData: 'listing-42', ...room });
    await window.companion.join({ ...room, address: '2001:db8::7' });
    await window.companion.leave();
  }, room);
  const [, { detail: { siteData, ...fields } }, six, left] = await untilEvents(page, 'record', 4);
  assert.deepEqual(fields, { joined: true, family: 'ipv4', ...room });
  assert.equal(Buffer.from(siteData).toString('latin1'), 'listing-42\0\0\0\0\0\0');
  assert.deepEqual([six.detail.address, left.detail], ['2001:db8::7', { joined: false }], 'the echoes');

  // The same page from another origin: the browser lets it through, the program refuses it.
  since = program.mark();
  assert.equal((await sitePage(OTHER)).outcome, 'refused: unreachable');
  await program.waitForLine(`[WS] [ORIGIN: ${OTHER}]`, { since });
  await program.waitForLine('[WS] origin error', { since });
});
