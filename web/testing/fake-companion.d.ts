// Types of the fake program for a site's tests (fake-companion.js).
import type { LocalAccessPermission, RoomRecord } from '../nimbrel-companion.js';

export declare class FakeCompanion {
  constructor(options?: { url?: string });
  /** When false, connections fail ('unreachable'). */
  running: boolean;
  /** The browser's answer to the local-access permission; 'prompt' holds connections until answerPrompt(). */
  permission: LocalAccessPermission;
  /** The first frame; another text is refused by the kit ('incompatible'). */
  greeting: string;
  /** New connections get no greeting, commands no echo ('timeout'). */
  frozen: boolean;
  /** The commands taken, decoded, oldest first. */
  readonly commands: RoomRecord[];
  /** The room joined now. */
  readonly room: RoomRecord;
  /** The pages connected now (16 at most). */
  readonly pages: number;
  /** Takes the program's place for WebSocket connections to its URL and for the permission; returns this. */
  install(): this;
  uninstall(): void;
  /** The player answers the browser's prompt. */
  answerPrompt(state: 'granted' | 'denied'): void;
  /** The program exits: every connection ends. */
  stop(): void;
  /** The program starts again, with no room. */
  start(): void;
}
