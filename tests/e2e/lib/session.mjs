// One program with one open page for a test file, and what its room tests
// share: joins, raw room servers and raw game clients.
import { before, after } from 'node:test';
import { once } from 'node:events';
import net from 'node:net';
import { startProgram, MC_PORT, SLOW } from './program.mjs';
import { Peer, connectSending, until } from './net.mjs';
import { handshake, loginStart } from './game.mjs';
import { openPage, joinPayload, command } from './ws.mjs';

export const LOGIN = Buffer.concat([handshake(2), loginStart('Player_One')]);

// Starts the program and opens the page before the file's tests, and stops
// both after them. Ports where nothing listens are taken from firstPort on;
// room servers listen where the system puts them (a fixed port may be one the
// program's own connections were given).
export function session(firstPort) {
  const s = { nextPort: firstPort };
  before(async () => {
    s.program = await startProgram();
    s.page = await openPage();
  });
  after(async () => {
    s.page?.terminate();
    await s.program?.stop();
  });
  // A wait whose failure shows the recent log.
  s.until = (condition, what) => until(condition, what,
    { timeoutMs: 15000 * SLOW, describe: () => s.program.describe(Math.max(0, s.program.mark() - 30)) });
  s.join = (port, room = {}, host = '127.0.0.1') => command(s.program, s.page, joinPayload({ host, port, ...room }));
  // A raw room server whose connections are peers that keep every byte they receive; it and its
  // connections close when test `t` ends.
  s.rawServer = async (t, onConnection = () => {}) => {
    const connections = [];
    const server = net.createServer((socket) => {
      connections.push(new Peer(socket));
      onConnection(connections.at(-1));
    }).listen(0, '127.0.0.1');
    await once(server, 'listening');
    t.after(() => { connections.forEach((peer) => peer.close()); server.close(); });
    return { port: server.address().port, connections };
  };
  // Joins the room at `port`, then logs a raw game client in there and sends
  // `more`; `since` marks the log before it came.
  s.rawGame = async (port, room, ...more) => {
    await s.join(port, room);
    const since = s.program.mark();
    const game = await connectSending(MC_PORT, Buffer.concat([LOGIN, ...more]));
    return { game, since };
  };
  return s;
}
