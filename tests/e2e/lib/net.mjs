// Waiting, and raw TCP peers for what a protocol library cannot send.
import { execFileSync } from 'node:child_process';
import net from 'node:net';
import { SLOW } from './program.mjs';

export const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

// Resolves when `condition()` holds; rejects after the time-out, with `what` and whatever `describe()` adds.
export async function until(condition, what, { timeoutMs = 10000 * SLOW, describe = () => '' } = {}) {
  for (const deadline = Date.now() + timeoutMs; !condition(); await sleep(10)) {
    if (Date.now() > deadline) throw new Error(`${what}: not seen within ${timeoutMs} ms\n${describe()}`);
  }
}

// A connected socket that gathers everything it receives.
export class Peer {
  constructor(socket) {
    Object.assign(this, { socket, received: Buffer.alloc(0), closed: false });
    socket.on('data', (chunk) => { this.received = Buffer.concat([this.received, chunk]); });
    socket.on('close', () => { this.closed = true; }).on('error', () => {});
  }

  send(bytes) { return new Promise((done) => this.socket.write(Buffer.from(bytes), () => done(this))); }

  // Everything received once `condition(peer)` holds: by default, once the program has closed the connection.
  async until(condition = (peer) => peer.closed, what = 'connection closed by the program', timeoutMs = undefined) {
    await until(() => condition(this), what, { timeoutMs, describe: () => `received ${this.received.length} bytes ` +
      `(${this.received.subarray(0, 64).toString('hex')}), closed=${this.closed}` });
    return this.received;
  }

  close() { this.socket.destroy(); }
}

export const connect = (port, host = '127.0.0.1') => new Promise((resolveConnect, rejectConnect) => {
  const socket = net.connect({ port, host, noDelay: true });
  socket.once('connect', () => resolveConnect(new Peer(socket))).once('error', rejectConnect);
});
// A new connection to `port` on 127.0.0.1 once it has sent `bytes`.
export const connectSending = async (port, bytes) => (await connect(port)).send(bytes);

// An address whose packets go out on a link that nobody answers on, so that
// a connect there is never answered; null outside a namespace of the suite's
// own (where lo is the only link), which is left as it is.
export function silentAddress() {
  const sh = (command) => execFileSync('sh', ['-c', command], { encoding: 'utf8', env: { ...process.env,
    PATH: `${process.env.PATH}:/usr/sbin:/sbin` } });
  try {
    if (sh('ip -o link show').split('\n').some((line) => /^\d+: (?!lo:|nowhere)/.test(line))) return null;
    sh('ip link show nowhere >/dev/null 2>&1 || { ip link add nowhere type veth peer name nowhere-peer && ' +
      'ip link set nowhere up && ip addr add 192.0.2.1/24 dev nowhere && ' +
      'ip neigh add 192.0.2.7 lladdr 02:00:00:00:00:07 dev nowhere nud permanent; }');
    return '192.0.2.7';
  } catch {
    return null;
  }
}
