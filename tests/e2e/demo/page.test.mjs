// The demo page in Chromium against the fake program, in each of its states:
// no accessibility violations (WCAG 2.1 AA, by axe-core) at 375 and 1280 px,
// no sideways scrolling on a phone, columns that stay put, and a screenshot
// of each state in docs/.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const TIMEOUT = 20000;
const SITE = 'https://nimbrel.example';
const root = new URL('../../../', import.meta.url);
const axe = await readFile(createRequire(import.meta.url).resolve('axe-core/axe.min.js'), 'utf8');
const TYPES = { '.html': 'text/html', '.js': 'text/javascript', '.json': 'application/json' };
// Installs the fake program before the page's script runs; ?fake={...} sets it up.
const setUp = `<script type="module">
  import { FakeCompanion } from '../testing/fake-companion.js';
  window.fake = Object.assign(new FakeCompanion().install(), JSON.parse(new URLSearchParams(location.search).get('fake') ?? '{}'));
</script>
<script type="module" src="demo.js">`;

let browser, context;
before(async () => {
  browser = await chromium.launch({ executablePath: '/usr/bin/chromium', timeout: TIMEOUT,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--no-first-run'] });
  context = await browser.newContext();
  await context.route(`${SITE}/**`, async (route) => {
    const path = new URL(route.request().url()).pathname.replace(/\/$/, '/index.html');
    let body = await readFile(new URL(`web${path}`, root), 'utf8').catch(() => null);
    if (path.endsWith('index.html')) body = body?.replace('<script type="module" src="demo.js">', setUp);
    return route.fulfill(body === null ? { status: 404, body: '' }
      : { status: 200, contentType: TYPES[path.slice(path.lastIndexOf('.'))], body });
  });
});
after(() => browser?.close());

// Violations of WCAG 2.1 A and AA at both widths, and the widths that scroll sideways.
async function audit(page) {
  const found = [];
  for (const width of [375, 1280]) {
    await page.setViewportSize({ width, height: 800 });
    if (!(await page.evaluate(() => 'axe' in window))) await page.addScriptTag({ content: axe });
    const violations = await page.evaluate(async () => (await window.axe.run(document, { runOnly: { type: 'tag',
      values: ['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa'] } })).violations
      .map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`));
    found.push(...violations.map((v) => `${width} px: ${v}`));
    const scrollWidth = await page.evaluate(() => document.documentElement.scrollWidth);
    if (scrollWidth > width) found.push(`${width} px: scrolls sideways to ${scrollWidth} px`);
  }
  return found;
}

async function open(state, fake = {}) {
  const page = await context.newPage();
  page.setDefaultTimeout(TIMEOUT);
  await page.goto(`${SITE}/demo/?fake=${encodeURIComponent(JSON.stringify(fake))}`);
  await page.waitForSelector(`#state[data-state="${state}"]`);
  return page;
}

async function check(page, name) {
  assert.deepEqual(await audit(page), [], `the page ${name}`);
  await page.setViewportSize({ width: 720, height: 520 });
  await page.screenshot({ path: fileURLToPath(new URL(`docs/demo-${name}.png`, root)) });
}

test('each state of the demo page passes the audit, and is shown in docs/', { timeout: 10 * TIMEOUT }, async () => {
  await check(await open('absent', { running: false }), 'not-running');
  await check(await open('blocked', { permission: 'denied' }), 'blocked');
  const prompted = await open('connecting', { permission: 'prompt' });
  await prompted.waitForSelector('#prompt:not([hidden])');
  await check(prompted, 'prompt');

  const page = await open('standby');
  const leave = page.getByRole('button', { name: 'Leave the room' });
  const [color, background] = await leave.evaluate((e) => [getComputedStyle(e).color, getComputedStyle(e).backgroundColor]);
  assert.notEqual(color, background, 'the disabled leave button shows its text');
  await check(page, 'standby');
  const widths = () => page.locator('th').evaluateAll((cells) => cells.map((cell) => cell.getBoundingClientRect().width));
  const before = await widths();
  await page.getByRole('button', { name: 'Join Meadow' }).click();
  await page.waitForSelector('#state[data-state="room"]');
  assert.deepEqual(await widths(), before, 'the columns stay put');
  assert.equal(await page.getByRole('button', { name: 'Join Meadow again' }).count(), 1);
  await check(page, 'room');

  await page.fill('#nick', 'bad name!');
  await page.getByRole('button', { name: 'Join Harbour' }).click();
  await page.waitForSelector('#problem:not(:empty)');
  assert.equal(await page.getByRole('textbox', { name: 'Your name in the game' }).getAttribute('aria-invalid'), 'true');
  await check(page, 'bad-name');
});
