// A Windows program started without a standard output, as players start it
// from Explorer, keeps its log in a file of bounded size.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { existsSync, readdirSync, readFileSync, rmSync, statSync } from 'node:fs';
import { join } from 'node:path';
import { isWindowsProgram, WS_PORT } from './lib/program.mjs';
import { connectSending, until } from './lib/net.mjs';

const MIB = 1 << 20;
const users = join(process.env.WINEPREFIX ?? '', 'drive_c/users');
const folders = () => readdirSync(users).map((user) => join(users, user, 'AppData/Local/Nimbrel'));
const logFile = (name) => folders().map((folder) => join(folder, name)).find(existsSync);

test('without a standard output the log goes to a file that moves aside at 1 MiB', { skip: !isWindowsProgram }, async (t) => {
  for (const folder of folders()) rmSync(folder, { recursive: true, force: true });
  const child = spawn('sh', ['-c', 'exec wine "$0" >&- 2>&-', process.env.NIMBREL_PROGRAM],
    { stdio: 'ignore', env: { ...process.env, WINEDEBUG: '-all' } });
  t.after(() => {
    execFileSync('wineserver', ['-k'], { stdio: 'ignore' });
    execFileSync('wineserver', ['-w'], { stdio: 'ignore' });
    child.kill('SIGKILL');
  });
  const log = () => readFileSync(logFile('nimbrel-client.log') ?? '/dev/null', 'latin1');
  await until(() => /\[MISC\] minecraft master assigned: \d+\n/.test(log()), 'the log file with the start-up lines',
    { timeoutMs: 90000 });

  // Each refused opening request logs a few KiB of its header lines.
  const pad = Array.from({ length: 8 }, (_, i) => `X-Pad-${i}: ${'p'.repeat(1000)}`).join('\r\n');
  const request = Buffer.from(`GET / HTTP/1.1\r\nOrigin: https://elsewhere.example\r\n${pad}\r\n\r\n`, 'latin1');
  const refused = async () => (await connectSending(WS_PORT, request)).until(undefined, undefined, 30000);
  for (let i = 0; i < 100 && !logFile('nimbrel-client.old.log'); i++)
    await Promise.all(Array.from({ length: 8 }, refused));
  const old = logFile('nimbrel-client.old.log');
  assert.ok(old, 'the log moved aside');
  assert.ok(statSync(old).size <= MIB && statSync(old).size > MIB - 20000, `old log of ${statSync(old).size} bytes`);
  assert.match(readFileSync(old, 'latin1'), /^\[MISC\] assigning websocket master\n/);
  await until(() => log().includes('[WS] origin error\n'), 'the new log goes on');
  assert.ok(statSync(logFile('nimbrel-client.log')).size < MIB);
});
