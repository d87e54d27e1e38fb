// The browser control channel from the test's side: pages opened with `ws`,
// room commands, and requests and frames built by hand.
import { randomBytes } from 'node:crypto';
import WebSocket from 'ws';
import { WS_PORT, SITE, SLOW } from './program.mjs';
import { until } from './net.mjs';
import { encodeJoin } from '../../../web/nimbrel-companion.js';

// A page connected with `origin`, once it holds the greeting and the record;
// `messages` keeps every message with its kind, in order.
export async function openPage(origin = SITE) {
  const ws = new WebSocket(`ws://127.0.0.1:${WS_PORT}`, { origin, handshakeTimeout: 10000 * SLOW });
  ws.messages = [];
  ws.on('message', (data, binary) => ws.messages.push({ binary, data: Buffer.from(data) }));
  ws.on('close', (code) => { ws.closeCode = code; }).on('error', (error) => { ws.failure = error; });
  await until(() => ws.messages.length >= 2 || ws.closeCode, `page of ${origin} opened`);
  if (ws.closeCode) throw new Error(`page of ${origin} closed on opening: ${ws.failure?.message}`);
  return ws;
}

export const untilMessages = (ws, count) => until(() => ws.messages.length >= count, `${count} messages`,
  { describe: () => ws.messages.map((m) => `${m.binary ? 'binary' : 'text'}:${m.data.toString('hex')}`).join(' ') });

// A join made by the kit (whose layout the proxy tests see reach the room server):
// 86 bytes for an IPv4 room, 98 for an IPv6 one.
export const joinPayload = ({ host = '10.0.0.1', port = 25565, roomName = 'Lobby', ownerName = 'Owner', nick = 'Player',
  siteData = 'site-data-16byte' } = {}) =>
  Buffer.from(encodeJoin({ siteData, roomName, ownerName, nick, address: host, port }));

// Sends a join (or with an empty payload, a leave) and waits until the
// program has logged it, echoed it to `ws` and dropped the game connection.
export async function command(program, ws, payload) {
  const since = program.mark();
  const echoes = ws.messages.length + 1;
  ws.send(payload);
  const line = ['[WS] leave room', '[WS] join room (ipv4)', '[WS] join room (ipv6)'][[0, 86, 98].indexOf(payload.length)];
  await program.waitForLine(/^\[PROXY\] close, handle_kind \d$/, { since: await program.waitForLine(line, { since }) });
  await untilMessages(ws, echoes);
  if (!ws.messages.at(-1).data.equals(payload)) throw new Error('the page did not get the record echoed back');
}

// The opening request; a null leaves its header out.
export function rawRequest(origin, { version = '13', key = 'dGhlIHNhbXBsZSBub25jZQ==' } = {}) {
  const headers = [['Origin', origin], ['Sec-WebSocket-Key', key], ['Sec-WebSocket-Version', version]]
    .filter(([, value]) => value !== null).map(([name, value]) => `${name}: ${value}`);
  return Buffer.from(['GET / HTTP/1.1', `Host: 127.0.0.1:${WS_PORT}`, 'Upgrade: websocket', 'Connection: Upgrade',
    ...headers].join('\r\n') + '\r\n\r\n', 'latin1');
}

// A client frame, masked unless told otherwise, with its length in the form
// given (0: 7 bits, 2: 16 bits, 8: 64 bits) and as declared (its own by default).
export function clientFrame(first, payload, { declared = payload.length, masked = true,
  form = declared < 126 ? 0 : declared < 65536 ? 2 : 8 } = {}) {
  const length = Buffer.alloc(form + 1);
  length[0] = (form === 0 ? Number(declared) : form === 2 ? 126 : 127) | (masked ? 0x80 : 0);
  if (form === 2) length.writeUInt16BE(Number(declared), 1);
  if (form === 8) length.writeBigUInt64BE(BigInt(declared), 1);
  const key = masked ? randomBytes(4) : Buffer.alloc(0);
  const body = Buffer.from(payload).map((byte, i) => (masked ? byte ^ key[i % 4] : byte));
  return Buffer.concat([Buffer.from([first]), length, key, body]);
}
