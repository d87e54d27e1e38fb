// Raw TCP peers for what a protocol library cannot send.
import net from 'node:net';
import { SLOW } from './program.mjs';

// A connected socket that gathers everything it receives.
export class Peer {
  constructor(socket) {
    this.socket = socket;
    this.received = Buffer.alloc(0);
    this.closed = false;
    this.waiters = new Set();
    socket.on('data', (chunk) => {
      this.received = Buffer.concat([this.received, chunk]);
      this.notify();
    });
    socket.on('close', () => {
      this.closed = true;
      this.notify();
    });
    socket.on('error', () => {});
  }

  notify() {
    for (const waiter of this.waiters) waiter();
  }

  send(bytes) {
    return new Promise((resolveSend) => this.socket.write(Buffer.from(bytes), () => resolveSend()));
  }

  // Resolves when `condition(peer)` holds; rejects after the time-out.
  until(condition, what, timeoutMs = 10000 * SLOW) {
    return new Promise((resolveWait, rejectWait) => {
      const check = () => {
        if (condition(this)) {
          finish();
          resolveWait(this.received);
        }
      };
      const timer = setTimeout(() => {
        finish();
        rejectWait(new Error(`${what}: not seen within ${timeoutMs} ms; received ${this.received.length} bytes` +
          ` (${this.received.subarray(0, 64).toString('hex')}), closed=${this.closed}`));
      }, timeoutMs);
      const finish = () => {
        clearTimeout(timer);
        this.waiters.delete(check);
      };
      this.waiters.add(check);
      check();
    });
  }

  // Resolves with everything received once the program has closed the connection.
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

// Resolves with the error code of a connection attempt that fails, or null.
export function connectError(port, host) {
  return new Promise((resolveAttempt) => {
    const socket = net.connect({ port, host });
    socket.once('connect', () => {
      socket.destroy();
      resolveAttempt(null);
    });
    socket.once('error', (error) => resolveAttempt(error.code));
  });
}

export function sleep(ms) {
  return new Promise((resolveSleep) => setTimeout(resolveSleep, ms));
}
