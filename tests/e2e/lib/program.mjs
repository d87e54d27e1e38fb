// Starts the program under test, reads its log as it is written, and stops it.
//
// The program is named by NIMBREL_PROGRAM (a path; a name ending in .exe runs under Wine, in the prefix named
// by WINEPREFIX). Every test file starts its own program and stops it before it ends.
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import { readFileSync } from 'node:fs';
import net from 'node:net';
import { resolve } from 'node:path';
import { until } from './net.mjs';

export const WS_PORT = 48026;
export const MC_PORT = 25565;
export const SITE_DOMAIN = process.env.NIMBREL_SITE_DOMAIN ?? 'nimbrel.example';
export const SITE = `https://${SITE_DOMAIN}`;

export const programPath = resolve(process.env.NIMBREL_PROGRAM ?? '../../build/nimbrel-client');
export const isWindowsProgram = programPath.endsWith('.exe');
export const isSanitized = programPath.includes('build-asan');
// Wine starts slowly and runs the program more slowly too.
export const SLOW = isWindowsProgram ? 3 : 1;

// Wine binds without the address reuse that Windows grants a listener, so a connection the program closed
// first, left in TIME_WAIT on its port, keeps the next program from starting for a minute. Peers of the
// Windows program therefore answer the program's close with a reset (which ends TIME_WAIT on its side at
// once), and a start waits out any TIME_WAIT that remains.
if (isWindowsProgram) {
  const connect = net.Socket.prototype.connect;
  net.Socket.prototype.connect = function (...args) {
    this.once('end', () => this.destroyed || this.resetAndDestroy());
    return connect.apply(this, args);
  };
}

// Connections on the program's ports in TIME_WAIT (state 06 in the kernel's tables).
const portsInTimeWait = () => ['/proc/net/tcp', '/proc/net/tcp6']
  .flatMap((table) => { try { return readFileSync(table, 'latin1').split('\n').slice(1); } catch { return []; } })
  .map((row) => row.trim().split(/\s+/))
  .filter((fields) => fields[3] === '06' && [WS_PORT, MC_PORT].includes(parseInt(fields[1]?.split(':')[1], 16))).length;

export class Program {
  constructor(child) {
    Object.assign(this, { child, lines: [], stderr: '' });
    let pending = '';
    child.stdout.setEncoding('latin1').on('data', (chunk) => {
      const lines = (pending + chunk).split('\n');
      pending = lines.pop();
      this.lines.push(...lines);
    });
    child.stderr.setEncoding('latin1').on('data', (chunk) => { this.stderr += chunk; });
    this.exited = new Promise((resolveExit) => child.on('exit', (code, signal) => {
      this.exitCode = code ?? signal;
      // Wine's helper processes inherit the pipes and may hold them open long
      // after the program is gone; what the program wrote has been read.
      setTimeout(() => { child.stdout.destroy(); child.stderr.destroy(); }, 200);
      resolveExit(this.exitCode);
    }));
  }

  // The number of log lines so far: pass it as `since` to look only at what follows.
  mark() { return this.lines.length; }
  linesSince(since = 0) { return this.lines.slice(since); }

  // The index of the first line at or after `since` that equals `matcher` (a
  // string) or matches it (a RegExp); rejects on time-out or exit.
  async waitForLine(matcher, { since = 0, timeoutMs = 10000 * SLOW } = {}) {
    const test = typeof matcher === 'string' ? (line) => line === matcher : (line) => matcher.test(line);
    let index = since;
    await until(() => {
      for (; index < this.lines.length; index++) if (test(this.lines[index])) return true;
      if (this.exitCode === undefined) return false;
      throw new Error(`program exited (${this.exitCode}) before logging ${matcher}\n${this.describe(since)}`);
    }, `log line ${matcher}`, { timeoutMs, describe: () => this.describe(since) });
    return index;
  }

  // Waits for `matcher` and returns the lines from `since` up to and including it.
  async linesUntil(matcher, options = {}) {
    return this.lines.slice(options.since ?? 0, await this.waitForLine(matcher, options) + 1);
  }

  describe(since = 0) {
    return `log since line ${since}:\n  ${this.lines.slice(since).join('\n  ')}\nstderr:\n${this.stderr}`;
  }

  // Stops the program; throws when it had already died or a sanitizer spoke.
  async stop() {
    const diedEarly = this.exitCode !== undefined;
    if (isWindowsProgram) {
      // Wine's server can keep a killed program's listening socket on its books (the port then stays refused
      // to the next program), so the whole Wine session of this prefix ends with the program.
      execFileSync('wineserver', ['-k'], { stdio: 'ignore', timeout: 30000 });
      execFileSync('wineserver', ['-w'], { stdio: 'ignore', timeout: 30000 });
      killStrays();
    }
    if (!diedEarly) {
      this.child.kill('SIGKILL');
      await this.exited;
    }
    if (/ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:/.test(this.stderr)) {
      throw new Error(`sanitizer report:\n${this.stderr}`);
    }
    if (diedEarly) throw new Error(`program had exited with ${this.exitCode}\n${this.describe()}`);
  }
}

// Under Wine the process that was started may not be the one that runs the
// program; make sure no copy of this build (found by its full path) outlives its test.
// This process and the ones that started it (the suite's own shells name the program too).
const ancestors = new Set();
for (let pid = process.pid; pid > 1 && !ancestors.has(pid);) {
  ancestors.add(pid);
  const stat = readFileSync(`/proc/${pid}/stat`, 'latin1');
  pid = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
}

function killStrays() {
  for (let attempt = 0; attempt < 50; attempt++) {
    const { stdout } = spawnSync('pgrep', ['-f', programPath], { encoding: 'latin1' });
    const found = (stdout ?? '').split('\n').filter(Boolean).map(Number).filter((pid) => !ancestors.has(pid));
    if (found.length === 0) return;
    process.stderr.write(`# killing a stray copy of the program: ${found}\n`);
    for (const pid of found) try { process.kill(pid, 'SIGKILL'); } catch {}
    execFileSync('sleep', ['0.1']);
  }
}

// Starts the program; by default resolves once both listeners are open.
export async function startProgram({ waitForListeners = true } = {}) {
  if (isWindowsProgram) {
    killStrays();
    await until(() => portsInTimeWait() === 0, 'TIME_WAIT gone', { timeoutMs: 70000 }).catch(() => {});
  }
  const [command, args] = isWindowsProgram ? ['wine', [programPath]] : [programPath, []];
  // A small quarantine: the C library's error texts (perror) allocate and free,
  // and a full-size quarantine would hold on to that memory as growth.
  const env = { ...process.env, ASAN_OPTIONS: 'detect_leaks=0:abort_on_error=1:quarantine_size_mb=1', WINEDEBUG: '-all' };
  const program = new Program(spawn(command, args, { env, stdio: ['ignore', 'pipe', 'pipe'] }));
  if (waitForListeners) {
    await program.waitForLine(/^\[MISC\] minecraft master assigned: -?\d+$/, { timeoutMs: 30000 * SLOW })
      .catch((error) => { program.child.kill('SIGKILL'); throw error; });
  }
  return program;
}
