// The program built for pages on the developer's own machine (site domain
// "localhost", as in the release's developer build and `make demo`): it takes
// pages of http://localhost on any port, and no other page.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { startProgram, WS_PORT, SITE_DOMAIN } from '../lib/program.mjs';
import { connectSending } from '../lib/net.mjs';
import { rawRequest } from '../lib/ws.mjs';

let program;
before(async () => { program = await startProgram(); });
after(async () => { await program?.stop(); });

test('the localhost build greets http://localhost on any port and refuses every other Origin',
  { skip: SITE_DOMAIN !== 'localhost' && `built for ${SITE_DOMAIN}` }, async () => {
    const greeted = async (origin) => {
      const peer = await connectSending(WS_PORT, rawRequest(origin));
      const reply = await peer.until((p) => p.closed || p.received.includes('\r\n\r\n'), `a reply to ${origin}`);
      peer.close();
      return reply.toString('latin1').startsWith('HTTP/1.1 101');
    };
    const accepted = ['http://localhost', 'http://localhost:8080', 'http://localhost:5173', 'http://localhost:65535'];
    const refused = ['http://localhost.attacker.example', 'http://localhostx:8080', 'http://sub.localhost:8080',
      'http://127.0.0.1:8080', 'http://[::1]:8080', 'http://localhost:', 'http://localhost:80x', 'https://nimbrel.example',
      'null', null];
    const outcome = {};
    for (const origin of [...accepted, ...refused]) outcome[origin] = await greeted(origin);
    assert.deepEqual(outcome, Object.fromEntries([...accepted.map((o) => [o, true]), ...refused.map((o) => [o, false])]));
  });
