// A typed page against the kit's types; `make demo-test` compiles it. Every
// expected error below is a mistake the types must catch.
import { NimbrelCompanion, NimbrelError, REFUSAL_REASONS, decodeRecord, encodeJoin, isValidPlayerName, version,
  type ErrorReason, type JoinedRecord, type RoomRecord } from '../../../web/nimbrel-companion.js';
import { FakeCompanion } from '../../../web/testing/fake-companion.js';

const fake = new FakeCompanion().install();
fake.answerPrompt('granted');
const companion = new NimbrelCompanion({ url: 'ws://127.0.0.1:48026', timeoutMs: 2000, commandTimeoutMs: 3000,
  reconnect: { maxDelayMs: 5000 } });
const where = (record: RoomRecord | null): string =>
  record?.joined ? `${record.roomName} as ${record.nick} at ${record.address}:${record.port}` : `no room (${version})`;
const explain = (reason: ErrorReason): string => reason;

companion.addEventListener('record', (event) => where(event.detail));
companion.addEventListener('refused', ({ detail }) =>
  (detail.reason === REFUSAL_REASONS.permissionPrompt ? detail.permission : explain(detail.error.reason)));
companion.addEventListener('reconnecting', ({ detail }) => detail.attempt * detail.delayMs);
companion.addEventListener('close', ({ detail }) => detail.wasOpen && detail.code === 1000);
async function page(signal: AbortSignal): Promise<string> {
  try {
    where(await companion.connect({ timeoutMs: 1000, signal }));
    const joined: JoinedRecord = await companion.join({ siteData: 'listing-42', roomName: 'Sky', nick: 'Bob',
      address: '::1', port: '25565' }, { signal, timeoutMs: 500 });
    await companion.join({ address: [192, 0, 2, 1], port: 25565, nick: 'Ann_2', siteData: new Uint8Array(16) });
    const left: false = (await companion.leave({ signal })).joined;
    return `${joined.port} ${String(left)} ${companion.state} ${fake.room.joined} ${fake.commands.length}`;
  } catch (error) {
    return error instanceof NimbrelError ? `${explain(error.reason)} ${error.permission ?? ''}` : 'aborted';
  }
}
page(AbortSignal.timeout(4000)).finally(() => fake.uninstall());
where(decodeRecord(encodeJoin({ address: '192.0.2.1', port: 25565, nick: 'Bob' }).buffer));
const nick: unknown = 'Bob';
if (isValidPlayerName(nick)) nick.toUpperCase();

// @ts-expect-error a room needs its port
companion.join({ address: '192.0.2.1', nick: 'Bob' });
// @ts-expect-error a room needs a nick
companion.join({ address: '192.0.2.1', port: 25565 });
// @ts-expect-error the address is text or bytes
encodeJoin({ address: 3221225985, port: 25565, nick: 'Bob' });
// @ts-expect-error an optional name is a text when given, never undefined
companion.join({ address: '192.0.2.1', port: 25565, nick: 'Bob', roomName: undefined });
// @ts-expect-error only a joined record has a nick
((record: RoomRecord) => record.nick)({ joined: false });
// @ts-expect-error a refusal is never 'closed', and its permission never a reason
companion.addEventListener('refused', ({ detail }) => detail.reason === 'closed' || detail.permission === 'timeout');
// @ts-expect-error the record is the program's to change
companion.record = null;
// @ts-expect-error the state too
companion.state = 'open';
// @ts-expect-error the socket is the kit's own
companion.socket?.close();
// @ts-expect-error 'gone' is no reason
new NimbrelError('gone', 'the program left');
// @ts-expect-error the signal goes in the options
companion.leave(AbortSignal.timeout(1));
