// Real game peers for the proxy tests: minecraft-protocol room servers and game clients.
import { once } from 'node:events';
import mc from 'minecraft-protocol';
import minecraftData from 'minecraft-data';
import { MC_PORT } from './program.mjs';

// A room server on `port` (0: where the system puts it; compression on, as by default) that logs its players in and keeps the plugin
// messages they send, and the handshake intent of every connection; it stops when test `t` ends.
export async function roomServer(version, host, port, t) {
  const server = Object.assign(mc.createServer({ host, port, version, 'online-mode': false, motd: 'room server' }),
    { players: [], intents: [] });
  await once(server, 'listening');
  server.port = server.socketServer.address().port;
  server.on('connection', (client) => client.on('set_protocol', (packet) => server.intents.push(packet.nextState)));
  server.on('playerJoin', (client) => {
    server.players.push(Object.assign(client, { received: [] }));
    client.on('custom_payload', (packet) => client.received.push(packet));
    client.write('login', {
      // What the oldest versions need; newer ones have all of it in loginPacket.
      difficulty: 0, dimension: 0, levelType: 'default', ...minecraftData(version).loginPacket,
      enforceSecureChat: false, entityId: client.id, isHardcore: false, gameMode: 0, previousGameMode: 1,
      hashedSeed: [0, 0], maxPlayers: 8, viewDistance: 4, reducedDebugInfo: false, enableRespawnScreen: true,
      isDebug: false, isFlat: false });
  });
  t.after(() => {
    for (const client of Object.values(server.clients)) client.end('done');
    server.close();
  });
  return server;
}

// A game client of the program; with `intent` 3 it comes as a game sent on by a Transfer packet. It keeps
// plugin messages, the packets that end it and whether it is gone.
// With `detect`, the library opens the login connection, pings on a second one and then logs in. The room's
// status document names protocol 1, which the library knows only as a snapshot without data: for this client
// it stands for `version`, and the login carries that version's number.
export function gameClient(version, { intent = 2, detect = false } = {}) {
  const client = mc.createClient({ host: '127.0.0.1', port: MC_PORT, username: 'Player_One', auth: 'offline',
    version: !detect && version });
  if (detect) {
    const byProtocol = minecraftData.postNettyVersionsByProtocolVersion.pc;
    const snapshots = byProtocol[1];
    byProtocol[1] = [minecraftData.versionsByMinecraftVersion.pc[version]];
    client.autoVersionHooks = [(response, self, options) => {
      byProtocol[1] = snapshots;
      options.protocolVersion = minecraftData(version).version.version;
    }];
  }
  const write = client.write.bind(client);
  client.write = (name, params) => write(name, name === 'set_protocol' ? { ...params, nextState: intent } : params);
  Object.assign(client, { payloads: [], endings: [] });
  client.on('custom_payload', (packet) => client.payloads.push(packet)).on('error', () => {});
  for (const name of ['transfer', 'kick_disconnect', 'disconnect'])
    client.on(name, (packet) => client.endings.push({ name, ...packet }));
  client.on('end', () => { client.gone = true; });
  return client;
}
