// A Windows program started without a standard output, as players start it
// from Explorer, keeps its log in a file of bounded size, which a second copy
// started while it runs leaves alone.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { existsSync, readdirSync, readFileSync, rmSync, statSync } from 'node:fs';
import { join } from 'node:path';
import { isWindowsProgram, WS_PORT, SLOW } from './lib/program.mjs';
import { connectSending, until } from './lib/net.mjs';

const MIB = 1 << 20;
const users = join(process.env.WINEPREFIX ?? '', 'drive_c/users');
const folders = () => readdirSync(users).map((user) => join(users, user, 'AppData/Local/Nimbrel'));
const logFile = (name) => folders().map((folder) => join(folder, name)).find(existsSync);
const read = (name) => readFileSync(logFile(name) ?? '/dev/null', 'latin1');
const size = (name) => (logFile(name) ? statSync(logFile(name)).size : 0);
const version = readFileSync(new URL('../../CMakeLists.txt', import.meta.url), 'latin1')
  .match(/^project\(.* VERSION ([0-9.]+)/m)[1];
const startLine = new RegExp(`^\\[MISC\\] Nimbrel Client ${version.replaceAll('.', '\\.')} \\(process \\d+\\) starting\\n`);

// A copy of the program with its standard output and error closed.
const startCopy = () => {
  const child = spawn('sh', ['-c', 'exec wine "$0" >&- 2>&-', process.env.NIMBREL_PROGRAM],
    { stdio: 'ignore', env: { ...process.env, WINEDEBUG: '-all' } });
  child.exited = new Promise((exited) => child.on('exit', exited));
  return child;
};

// A refused opening request logs its header lines: a few KiB with padding, a
// hundred bytes or so without.
const refused = (padded) => async () => {
  const pad = padded ? Array.from({ length: 8 }, (_, i) => `X-Pad-${i}: ${'p'.repeat(1000)}\r\n`).join('') : '';
  const request = `GET / HTTP/1.1\r\nOrigin: https://elsewhere.example\r\n${pad}\r\n`;
  return (await connectSending(WS_PORT, Buffer.from(request, 'latin1'))).until(undefined, undefined, 30000);
};
const fillLog = async (below, padded, parallel = 1) => {
  for (let was; (was = size('nimbrel-client.log')) < below && !logFile('nimbrel-client.old.log');) {
    await Promise.all(Array.from({ length: parallel }, refused(padded)));
    await until(() => size('nimbrel-client.log') > was || logFile('nimbrel-client.old.log'), 'the log growing');
  }
};

test('without a standard output the log goes to a file that moves aside at 1 MiB, which a second copy leaves ' +
  'alone until the first ends', { skip: !isWindowsProgram }, async (t) => {
  for (const folder of folders()) rmSync(folder, { recursive: true, force: true });
  const first = startCopy();
  t.after(() => {
    execFileSync('wineserver', ['-k'], { stdio: 'ignore', timeout: 30000 });
    execFileSync('wineserver', ['-w'], { stdio: 'ignore', timeout: 30000 });
    first.kill('SIGKILL');
  });
  await until(() => /\[MISC\] minecraft master assigned: \d+\n/.test(read('nimbrel-client.log')),
    'the log file with the start-up lines', { timeoutMs: 90000 });
  const [firstLine] = read('nimbrel-client.log').match(startLine) ?? [];
  assert.ok(firstLine, `the log's first line names the version:\n${read('nimbrel-client.log').slice(0, 200)}`);

  // A second copy started when its few lines would take the log past 1 MiB.
  await fillLog(MIB - 100000, true, 8);
  await fillLog(MIB - 12000, true);
  await fillLog(MIB - 600, false);
  assert.ok(!logFile('nimbrel-client.old.log') && size('nimbrel-client.log') < MIB - 400,
    `the log is near 1 MiB: ${size('nimbrel-client.log')} bytes, moved aside: ${!!logFile('nimbrel-client.old.log')}`);
  const before = read('nimbrel-client.log');
  const second = startCopy();
  t.after(() => second.kill('SIGKILL'));
  const timeout = new Promise((expired) => setTimeout(expired, 40000 * SLOW, 'still running').unref());
  assert.equal(await Promise.race([second.exited, timeout]), 1, 'the second copy\'s exit status');
  assert.equal(read('nimbrel-client.log'), before, 'the running copy\'s log, byte for byte');
  assert.ok(!logFile('nimbrel-client.old.log'), 'the log did not move aside');
  const secondLog = read('nimbrel-client.second.log');
  assert.match(secondLog, new RegExp(`${startLine.source}\\[MISC\\] another copy of Nimbrel Client is running; `));
  assert.equal(secondLog.match(/^\[MISC\] error assigning websocket master$/gm)?.length, 4, secondLog);

  // The running copy's own lines move the log aside.
  await fillLog(MIB, true, 8);
  const old = logFile('nimbrel-client.old.log');
  assert.ok(old, 'the log moved aside');
  assert.ok(statSync(old).size <= MIB && statSync(old).size > MIB - 20000, `old log of ${statSync(old).size} bytes`);
  assert.ok(readFileSync(old, 'latin1').startsWith(firstLine + '[MISC] assigning websocket master\n'));
  await until(() => read('nimbrel-client.log').includes('[WS] origin error\n'), 'the new log goes on');
  assert.ok(read('nimbrel-client.log').startsWith(firstLine), 'the new log starts with the first line');
  assert.ok(size('nimbrel-client.log') < MIB);

  // A copy started while the first runs goes on in the log once the first has ended.
  const third = startCopy();
  t.after(() => third.kill('SIGKILL'));
  const ownLog = () => read('nimbrel-client.second.log');
  await until(() => ownLog() !== secondLog && startLine.test(ownLog()), 'the third copy\'s own log');
  const [thirdLine] = ownLog().match(startLine);
  const kept = read('nimbrel-client.log');
  execFileSync('wine', ['taskkill', '/f', '/pid', firstLine.match(/process (\d+)/)[1]], { stdio: 'ignore', timeout: 60000 });
  await until(() => read('nimbrel-client.log').includes('[MISC] minecraft master assigned', kept.length),
    'the third copy taking over', { timeoutMs: 30000 * SLOW });
  assert.ok(read('nimbrel-client.log').slice(kept.length).startsWith(thirdLine), 'the third copy\'s first line');
});
