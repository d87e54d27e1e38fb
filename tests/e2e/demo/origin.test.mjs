// The program built for the site "localhost" (the release's developer build,
// and `make demo`'s) greets pages of http://localhost on any port, and no other.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { startProgram, WS_PORT, SITE_DOMAIN } from '../lib/program.mjs';
import { connectSending } from '../lib/net.mjs';
import { rawRequest } from '../lib/ws.mjs';

test('the localhost build greets http://localhost on any port and refuses every other Origin',
  { skip: SITE_DOMAIN !== 'localhost' && `built for ${SITE_DOMAIN}` }, async (t) => {
    const program = await startProgram();
    t.after(() => program.stop());
    const accepted = ['http://localhost', 'http://localhost:8080', 'http://localhost:5173', 'http://localhost:65535'];
    const outcome = {};
    for (const origin of [...accepted, 'http://localhost.attacker.example', 'http://localhostx:8080', 'http://sub.localhost',
      'http://127.0.0.1:8080', 'http://[::1]:8080', 'http://localhost:', 'http://localhost:80x', 'https://nimbrel.example', null]) {
      const peer = await connectSending(WS_PORT, rawRequest(origin));
      outcome[origin] = (await peer.until((p) => p.closed || p.received.includes('\r\n\r\n'))).toString('latin1').startsWith('HTTP/1.1 101');
      peer.close();
    }
    assert.deepEqual(Object.keys(outcome).filter((origin) => outcome[origin]), accepted);
  });
