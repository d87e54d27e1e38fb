// A typed page against the kit's types; `make demo-test` compiles it. Every
// expected error below is a mistake the types must catch.
import { NimbrelCompanion, REFUSAL_REASONS, decodeRecord, encodeJoin, type RoomRecord }
  from '../../../web/nimbrel-companion.js';

const companion = new NimbrelCompanion({ url: 'ws://127.0.0.1:48026', timeoutMs: 2000,
  reconnect: { maxDelayMs: 5000 } });
const where = (record: RoomRecord | null): string =>
  record?.joined ? `${record.roomName} as ${record.nick} at ${record.address}:${record.port}` : 'no room';

companion.addEventListener('record', (event) => where(event.detail));
companion.addEventListener('refused', ({ detail }) =>
  (detail.reason === REFUSAL_REASONS.permissionPrompt ? detail.permission : ''));
companion.addEventListener('reconnecting', ({ detail }) => detail.attempt * detail.delayMs);
companion.addEventListener('close', ({ detail }) => detail.wasOpen && detail.code > 0);
companion.connect({ timeoutMs: 1000 }).then(async () => {
  where(await companion.join({ siteData: 'listing-42', roomName: 'Sky', nick: 'Bob', address: '::1', port: 1 }));
  await companion.join({ address: [192, 0, 2, 1], port: 25565, siteData: new Uint8Array(16) });
  (await companion.leave()).joined;
}, (error: unknown) => error);
where(decodeRecord(encodeJoin({ address: '192.0.2.1', port: 25565 }).buffer));

// @ts-expect-error a room needs its port
companion.join({ address: '192.0.2.1' });
// @ts-expect-error the address is text or bytes
encodeJoin({ address: 3221225985, port: 25565 });
// @ts-expect-error only a joined record has a nick
((record: RoomRecord) => record.nick)({ joined: false });
// @ts-expect-error a refusal's detail has no code
companion.addEventListener('refused', ({ detail }) => detail.code);
// @ts-expect-error 'timeout' is a reason, not a permission
companion.addEventListener('refused', ({ detail }) => detail.permission === 'timeout');
// @ts-expect-error the record is the program's to change
companion.record = null;
