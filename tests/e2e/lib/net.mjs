// Waiting, and raw TCP peers for what a protocol library cannot send.
import net from 'node:net';
import { SLOW } from './program.mjs';

export const sleep = (ms) => new Promise((resolveSleep) => setTimeout(resolveSleep, ms));

// Resolves when `condition()` holds; rejects after the time-out, with `what`
// and whatever `describe()` adds.
export async function until(condition, what, { timeoutMs = 10000 * SLOW, describe = () => '' } = {}) {
  const deadline = Date.now() + timeoutMs;
  while (!condition()) {
    if (Date.now() > deadline) throw new Error(`${what}: not seen within ${timeoutMs} ms\n${describe()}`);
    await sleep(10);
  }
}

// A connected socket that gathers everything it receives.
export class Peer {
  constructor(socket) {
    this.socket = socket;
    this.received = Buffer.alloc(0);
    this.closed = false;
    socket.on('data', (chunk) => { this.received = Buffer.concat([this.received, chunk]); });
    socket.on('close', () => { this.closed = true; });
    socket.on('error', () => {});
  }

  send(bytes) {
    return new Promise((resolveSend) => this.socket.write(Buffer.from(bytes), () => resolveSend()));
  }

  async until(condition, what, timeoutMs) {
    await until(() => condition(this), what, { timeoutMs, describe: () => `received ${this.received.length} bytes ` +
      `(${this.received.subarray(0, 64).toString('hex')}), closed=${this.closed}` });
    return this.received;
  }

  // Everything received, once the program has closed the connection.
  untilClosed(timeoutMs) {
    return this.until((peer) => peer.closed, 'connection closed by the program', timeoutMs);
  }

  untilBytes(count, timeoutMs) {
    return this.until((peer) => peer.received.length >= count, `${count} bytes received`, timeoutMs);
  }

  close() {
    this.socket.destroy();
  }
}

export function connect(port, host = '127.0.0.1') {
  return new Promise((resolveConnect, rejectConnect) => {
    const socket = net.connect({ port, host, noDelay: true });
    socket.once('connect', () => resolveConnect(new Peer(socket)));
    socket.once('error', rejectConnect);
  });
}

// The error code of a connection attempt that fails, or null.
export function connectError(port, host) {
  return new Promise((resolveAttempt) => {
    const socket = net.connect({ port, host });
    socket.once('connect', () => { socket.destroy(); resolveAttempt(null); });
    socket.once('error', (error) => resolveAttempt(error.code));
  });
}
