// The standby server: what a game client sees on port 25565 while no room is
// joined. One program serves every test of this file.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import mc from 'minecraft-protocol';
import util from 'minecraft-server-util';
import tcpClientModule from 'minecraft-server-util/dist/structure/TCPClient.js';
import { startProgram, MC_PORT, SITE_DOMAIN } from './lib/program.mjs';

const logo = readFileSync(new URL('../../assets/logo.png', import.meta.url));

// The documents as the game client should read them, member order included.
const bar = { text: '', extra: [{ color: 'white', obfuscated: true, text: '||' }] };
const white = (value) => ({ color: 'white', text: value });
const tagline = (value) => ({ color: 'green', text: '', extra: [{ color: '#00CC66', bold: true, text: value }] });
const site = { color: 'green', text: '', extra: [{ color: '#00CC66', underlined: true, text: SITE_DOMAIN }] };
const standbyStatus = {
  version: { name: '§fv1', protocol: 1 },
  description: [bar, ' ', tagline('Nimbrel Client'), white('.\n'), bar, white(' select a room in '), site, white('.')],
  favicon: `data:image/png;base64,${logo.toString('base64')}` };
const standbyDisconnect = [bar, tagline(' Nimbrel Client'), white(' is in standby mode, '), bar, '\n',
  bar, white(' select a room in '), site, white('. '), bar];

// The log from a game client's admission to its handler's close, `line` being what it asked for.
const closed = '[PROXY] close, handle_kind 2';
const logOf = (line) => ['[PROXY] incoming mc master', '[PROXY] no room handle reset', '[PROXY] no room packet',
  '[PROXY] handshake', '[PROXY] no room packet', line, '[PROXY] no room handler killed', closed];

let program;
before(async () => { program = await startProgram(); });
after(async () => { await program.stop(); });

for (const version of ['1.8.8', '1.12.2', '1.16.5', '1.20.4', '1.21.4']) {
  // The status exchange does not depend on the version; minecraft-server-util's below stands for all.
  test(`${version}: a login is refused with the standby text`, async () => {
    const since = program.mark();
    const client = mc.createClient({ host: '127.0.0.1', port: MC_PORT, username: 'Steve', auth: 'offline', version });
    const [reasons, errors] = [[], []];
    client.on('disconnect', (packet) => reasons.push(packet.reason)).on('error', (error) => errors.push(error.message));
    const endReason = await new Promise((resolveEnd) => client.on('end', resolveEnd));
    assert.deepEqual(reasons, [JSON.stringify(standbyDisconnect)], `one exact disconnect; errors: ${errors}, end: ${endReason}`);
    assert.deepEqual(await program.linesUntil(closed, { since }), logOf('[PROXY] login start'));
  });
}

test('minecraft-server-util reads the standby status document, and its ping goes unanswered', async () => {
  // The exchange of the library's status(), with its own client, up to the document.
  const since = program.mark();
  const client = new tcpClientModule.default();
  await client.connect({ host: '127.0.0.1', port: MC_PORT, timeout: 5000 });
  try {
    for (const [write, value] of [['VarInt', 0x00], ['VarInt', 47], ['StringVarInt', '127.0.0.1'],
      ['UInt16BE', MC_PORT], ['VarInt', 1]]) client[`write${write}`](value);
    await client.flush();
    client.writeVarInt(0x00);
    await client.flush();
    await client.ensureBufferedData(await client.readVarInt());
    assert.equal(await client.readVarInt(), 0x00, 'packet id of the status response');
    assert.deepEqual(JSON.parse(await client.readStringVarInt()), standbyStatus);
  } finally {
    client.close();
  }
  assert.deepEqual(await program.linesUntil(closed, { since }), logOf('[PROXY] status request'));
  // status() itself wants a pong after the document; it gets the close.
  await assert.rejects(util.status('127.0.0.1', MC_PORT, { enableSRV: false, timeout: 5000 }),
    /Socket closed unexpectedly while waiting for data/);
});
