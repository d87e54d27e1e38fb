// The demo page in Chromium against the fake program, in each of its states: no violation of WCAG 2.1 AA (axe-core)
// at 375 and 1280 px, no sideways scrolling, columns that stay put; a screenshot of each state in docs/.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const SITE = 'https://nimbrel.example';
const root = new URL('../../../', import.meta.url);
const axe = await readFile(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');
// The fake program goes in before the page's script runs; ?fake={...} sets it up.
const setUp = `<script type="module">import { FakeCompanion } from '../testing/fake-companion.js';
  Object.assign(new FakeCompanion().install(), JSON.parse(new URLSearchParams(location.search).get('fake')));</script>`;
const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--headless', '--no-sandbox'] });
after(() => browser.close());
const context = await browser.newContext();
await context.route(`${SITE}/**`, async (route) => {
  const path = new URL(route.request().url()).pathname.replace(/\/$/, '/index.html');
  const body = await readFile(new URL(`web${path}`, root), 'utf8').catch(() => null);
  return route.fulfill(body === null ? { status: 404 } : { contentType: { l: 'text/html', s: 'text/javascript',
    n: 'application/json' }[path.at(-1)], body: body.replace('<script type="module" src="demo.js">', `${setUp}$&`) });
});

async function open(state, fake = {}) {
  const page = await context.newPage();
  await page.goto(`${SITE}/demo/?fake=${encodeURIComponent(JSON.stringify(fake))}`);
  await page.waitForSelector(`#state[data-state="${state}"]`);
  return page;
}

// Audits the page at both widths, then saves its picture as docs/demo-NAME.png.
async function check(page, name) {
  const found = [];
  for (const width of [375, 1280]) {
    await page.setViewportSize({ width, height: 800 });
    await page.addScriptTag({ content: axe });
    found.push(...await page.evaluate(async (width) => [...(await window.axe.run(document, { runOnly: ['wcag2a',
      'wcag2aa', 'wcag21a', 'wcag21aa'] })).violations.map((v) => `${v.id}: ${v.nodes.map((n) => n.target).join(', ')}`),
    ...(document.documentElement.scrollWidth > width ? [`scrolls to ${document.documentElement.scrollWidth} px`] : [])]
      .map((v) => `${width} px: ${v}`), width));
  }
  assert.deepEqual(found, [], `the page ${name}`);
  await page.setViewportSize({ width: 720, height: 520 });
  await page.screenshot({ path: fileURLToPath(new URL(`docs/demo-${name}.png`, root)) });
}

test('each state of the demo page passes the audit, and is shown in docs/', { timeout: 120000 }, async () => {
  await check(await open('absent', { running: false }), 'not-running');
  await check(await open('blocked', { permission: 'denied' }), 'blocked');
  const prompted = await open('connecting', { permission: 'prompt' });
  await prompted.waitForSelector('#prompt:not([hidden])');
  await check(prompted, 'prompt');

  const page = await open('standby');
  const [color, background] = await page.getByRole('button', { name: 'Leave the room' })
    .evaluate((e) => [getComputedStyle(e).color, getComputedStyle(e).backgroundColor]);
  assert.notEqual(color, background, 'the disabled leave button shows its text');
  await check(page, 'standby');
  const widths = () => page.locator('th').evaluateAll((cells) => cells.map((cell) => cell.getBoundingClientRect().width));
  const before = await widths();
  await page.getByRole('button', { name: 'Join Meadow' }).click();
  await page.waitForSelector('#state[data-state="room"]');
  assert.deepEqual(await widths(), before, 'the columns stay put');
  await page.getByRole('button', { name: 'Join Meadow again' }).waitFor();
  await check(page, 'room');

  await page.fill('#nick', 'bad name!');
  await page.getByRole('button', { name: 'Join Harbour' }).click();
  await page.getByRole('textbox', { name: 'Your name in the game' }).and(page.locator('[aria-invalid="true"]')).waitFor();
  await check(page, 'bad-name');
});
