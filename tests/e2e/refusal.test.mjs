// Endings the player must be told about: a room that never answers a connect,
// a refused room met by a real game, and the echoes and held connections
// around a room command.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import mc from 'minecraft-protocol';
import { MC_PORT, SLOW } from './lib/program.mjs';
import { connect, connectSending, silentAddress, sleep } from './lib/net.mjs';
import { frame, handshake, statusRequest, ping, loginDisconnectText } from './lib/game.mjs';
import { gameClient } from './lib/rooms.mjs';
import { session, LOGIN } from './lib/session.mjs';
import { clientFrame, joinPayload, openPage, untilMessages } from './lib/ws.mjs';

const ROOM = { roomName: 'Castle', ownerName: 'Ada', nick: 'RoomNick' };
const s = session(33000);

test('a room that never answers a connect shows the red line in the list and refuses the login by name',
  async (t) => {
    const host = silentAddress();
    if (!host) return t.skip('needs a network namespace of the suite\'s own');
    await s.join(25565, ROOM, host);
    const started = Date.now();
    const status = await mc.ping({ host: '127.0.0.1', port: MC_PORT, version: '1.21.4', closeTimeout: 25000 });
    const waited = Date.now() - started;
    assert.match(JSON.stringify(status.description), /The room's server cannot be reached: .*(timed out|period of time)/i);
    assert.ok(waited >= 4500 && waited < 10000 * SLOW, `the status came after ${waited} ms`);
    const game = await connectSending(MC_PORT, LOGIN);
    assert.match(loginDisconnectText(await game.until(undefined, undefined, 20000 * SLOW)),
      /^The server of Castle by Ada at 192\.0\.2\.7:25565 cannot be reached: .*(timed out|period of time)[^.]*\.$/i);
  });

test('a refused room\'s login reaches a real game with its reason every time', async () => {
  const nowhere = s.nextPort++;
  await s.join(nowhere, ROOM);
  for (let i = 0; i < 4; i++) {
    const client = gameClient('1.21.4');
    await s.until(() => client.gone, 'the game was let go');
    assert.match(JSON.stringify(client.endings), /cannot be reached/, `login ${i}`);
  }
});

test('every page gets every echo, in order, while a proxy says goodbye; a held connection ends with the room',
  async (t) => {
    // The room server reads nothing while the game uploads, so its buffers are full at the farewell.
    const room = await s.rawServer(t, ({ socket }) => socket.pause());
    const join = joinPayload({ host: '127.0.0.1', port: room.port, ...ROOM });
    await s.join(room.port, ROOM);
    const game = await connectSending(MC_PORT, LOGIN);
    t.after(() => game.close());
    const upload = frame([0x30], Buffer.alloc(8000, 7));
    for (let i = 0; i < 200; i++) game.socket.write(upload);
    await sleep(500);
    const other = await openPage();
    t.after(() => other.terminate());
    const [mine, theirs] = [s.page.messages.length, other.messages.length];
    s.page._socket.write(Buffer.concat([clientFrame(0x82, join), clientFrame(0x82, Buffer.alloc(0))]));
    await untilMessages(s.page, mine + 2);
    await untilMessages(other, theirs + 2);
    for (const page of [s.page, other]) {
      assert.ok(page.messages.at(-2).data.equals(join), 'the join\'s echo first');
      assert.equal(page.messages.at(-1).data.length, 0, 'then the leave\'s');
    }

    // A silent connection held while another pings goes when the room changes.
    await s.join(room.port, ROOM);
    const since = s.program.mark();
    const held = await connect(MC_PORT);
    const pinging = await connectSending(MC_PORT, handshake(1));
    await s.program.waitForLine('[PROXY] silent client held', { since });
    await s.join(room.port + 1000, ROOM);
    await s.program.waitForLine('[PROXY] held client dropped, room changed', { since });
    await held.until();
    pinging.close();
  });

test('a ping that has sent only its handshake is answered; a second ping meanwhile waits its turn', async (t) => {
  const room = await s.rawServer(t);
  await s.join(room.port, ROOM);
  const first = await connectSending(MC_PORT, handshake(1));
  await sleep(100);
  const second = await connectSending(MC_PORT, Buffer.concat([handshake(1), statusRequest, ping]));
  await sleep(100);
  await first.send(Buffer.concat([statusRequest, ping]));
  for (const peer of [first, second]) {
    await peer.until((p) => p.received.includes(ping), 'the pong');
    assert.match(peer.received.toString(), /Castle/);
    peer.close();
  }
});
