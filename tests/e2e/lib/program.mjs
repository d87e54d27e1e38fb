// Starts the program under test, reads its log as it is written, and stops it.
//
// The program is named by NIMBREL_PROGRAM (a path; a name ending in .exe runs
// under Wine, in the prefix named by WINEPREFIX). Every test file starts its
// own program and stops it before it ends.
import { execFileSync, spawn } from 'node:child_process';
import { readFileSync } from 'node:fs';
import net from 'node:net';
import { resolve } from 'node:path';

export const WS_PORT = 48026;
export const MC_PORT = 25565;
export const SITE_DOMAIN = process.env.NIMBREL_SITE_DOMAIN ?? 'nimbrel.example';

const programPath = resolve(process.env.NIMBREL_PROGRAM ?? '../../build/nimbrel-client');
export const isWindowsProgram = programPath.endsWith('.exe');
// Wine starts slowly and runs the program more slowly too.
export const SLOW = isWindowsProgram ? 3 : 1;

// Wine binds without the address reuse that Windows grants a listener, so a
// connection the program closed first, left in TIME_WAIT on its port, keeps
// the next program from starting for a minute. Peers of the Windows program
// therefore answer the program's close with a reset (which ends TIME_WAIT on
// its side at once), and a start waits out any TIME_WAIT that remains.
if (isWindowsProgram) {
  const connect = net.Socket.prototype.connect;
  net.Socket.prototype.connect = function (...args) {
    this.once('end', () => {
      if (!this.destroyed) this.resetAndDestroy();
    });
    return connect.apply(this, args);
  };
}

function portsInTimeWait() {
  const ports = new Set([WS_PORT.toString(16).toUpperCase().padStart(4, '0'), MC_PORT.toString(16).toUpperCase().padStart(4, '0')]);
  let count = 0;
  for (const table of ['/proc/net/tcp', '/proc/net/tcp6']) {
    let text = '';
    try {
      text = readFileSync(table, 'latin1');
    } catch {
      continue;
    }
    for (const row of text.split('\n').slice(1)) {
      const fields = row.trim().split(/\s+/);
      if (fields.length > 3 && fields[3] === '06' && ports.has(fields[1].split(':')[1])) count++;
    }
  }
  return count;
}

async function waitOutTimeWait() {
  const deadline = Date.now() + 70000;
  while (portsInTimeWait() > 0 && Date.now() < deadline) await new Promise((r) => setTimeout(r, 250));
}

const sanitizerReport = /ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:/;

export class Program {
  constructor(child) {
    this.child = child;
    this.lines = [];
    this.stderr = '';
    this.exitCode = undefined;
    this.waiters = new Set();
    let pending = '';
    child.stdout.setEncoding('latin1');
    child.stdout.on('data', (chunk) => {
      pending += chunk;
      let end;
      while ((end = pending.indexOf('\n')) >= 0) {
        this.lines.push(pending.slice(0, end));
        pending = pending.slice(end + 1);
      }
      this.notify();
    });
    child.stderr.setEncoding('latin1');
    child.stderr.on('data', (chunk) => {
      this.stderr += chunk;
      this.notify();
    });
    this.exited = new Promise((resolveExit) => {
      child.on('exit', (code, signal) => {
        this.exitCode = code ?? signal;
        // Wine's helper processes inherit the pipes and may hold them open long
        // after the program is gone; what the program wrote has been read.
        setTimeout(() => {
          child.stdout.destroy();
          child.stderr.destroy();
        }, 200);
        this.notify();
        resolveExit(this.exitCode);
      });
    });
  }

  notify() {
    for (const waiter of this.waiters) waiter();
  }

  // The number of log lines so far: pass it as `since` to look only at what follows.
  mark() {
    return this.lines.length;
  }

  linesSince(since = 0) {
    return this.lines.slice(since);
  }

  // Resolves with the index of the first line at or after `since` that equals
  // `matcher` (a string) or matches it (a RegExp); rejects on time-out or exit.
  waitForLine(matcher, { since = 0, timeoutMs = 10000 * SLOW } = {}) {
    const test = typeof matcher === 'string' ? (line) => line === matcher : (line) => matcher.test(line);
    return new Promise((resolveWait, rejectWait) => {
      const check = () => {
        for (let i = since; i < this.lines.length; i++) {
          if (test(this.lines[i])) {
            finish();
            resolveWait(i);
            return;
          }
        }
        if (this.exitCode !== undefined) {
          finish();
          rejectWait(new Error(`program exited (${this.exitCode}) before logging ${matcher}\n${this.describe(since)}`));
        }
      };
      const timer = setTimeout(() => {
        finish();
        rejectWait(new Error(`no log line ${matcher} within ${timeoutMs} ms\n${this.describe(since)}`));
      }, timeoutMs);
      const finish = () => {
        clearTimeout(timer);
        this.waiters.delete(check);
      };
      this.waiters.add(check);
      check();
    });
  }

  // Waits for `matcher` and returns the lines from `since` up to and including it.
  async linesUntil(matcher, options = {}) {
    const index = await this.waitForLine(matcher, options);
    return this.lines.slice(options.since ?? 0, index + 1);
  }

  describe(since = 0) {
    return `log since line ${since}:\n  ${this.lines.slice(since).join('\n  ')}\nstderr:\n${this.stderr}`;
  }

  waitForExit(timeoutMs = 20000 * SLOW) {
    let timer;
    return Promise.race([
      this.exited,
      new Promise((_, rejectWait) => {
        timer = setTimeout(() => rejectWait(new Error(`program still running after ${timeoutMs} ms`)), timeoutMs);
      }),
    ]).finally(() => clearTimeout(timer));
  }

  // Stops the program; throws when it had already died or a sanitizer spoke.
  async stop() {
    const diedEarly = this.exitCode !== undefined;
    if (isWindowsProgram) {
      // Wine's server can keep a killed program's listening socket on its
      // books (the port then stays refused to the next program), so the
      // whole Wine session of this prefix ends with the program.
      execFileSync('wineserver', ['-k'], { stdio: 'ignore' });
      execFileSync('wineserver', ['-w'], { stdio: 'ignore' });
      killStrays();
    }
    if (!diedEarly) {
      this.child.kill('SIGKILL');
      await this.exited;
    }
    if (sanitizerReport.test(this.stderr)) throw new Error(`sanitizer report:\n${this.stderr}`);
    if (diedEarly) throw new Error(`program had exited with ${this.exitCode}\n${this.describe()}`);
  }
}

// Under Wine the process that was started may not be the one that runs the
// program; make sure no copy of this build outlives its test.
function killStrays() {
  for (let attempt = 0; attempt < 50; attempt++) {
    try {
      const found = execFileSync('pgrep', ['-f', programPath], { encoding: 'latin1' }).trim();
      process.stderr.write(`# killing a stray copy of the program: ${found}\n`);
      execFileSync('pkill', ['-KILL', '-f', programPath]);
    } catch {
      return;
    }
    execFileSync('sleep', ['0.1']);
  }
}

// Starts the program; by default resolves once both listeners are open.
export async function startProgram({ waitForListeners = true } = {}) {
  if (isWindowsProgram) {
    killStrays();
    await waitOutTimeWait();
  }
  const command = isWindowsProgram ? 'wine' : programPath;
  const args = isWindowsProgram ? [programPath] : [];
  const env = { ...process.env, ASAN_OPTIONS: 'detect_leaks=0:abort_on_error=1', WINEDEBUG: '-all' };
  const child = spawn(command, args, { env, stdio: ['ignore', 'pipe', 'pipe'] });
  const program = new Program(child);
  if (waitForListeners) {
    try {
      await program.waitForLine(/^\[MISC\] minecraft master assigned: -?\d+$/, { timeoutMs: 30000 * SLOW });
    } catch (error) {
      child.kill('SIGKILL');
      throw error;
    }
  }
  return program;
}
