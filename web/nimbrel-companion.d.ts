// Types of the Nimbrel companion kit (nimbrel-companion.js).

export declare const DEFAULT_URL: 'ws://127.0.0.1:48026';

export declare const RECORD_LENGTH_NONE: 0;
export declare const RECORD_LENGTH_IPV4: 86;
export declare const RECORD_LENGTH_IPV6: 98;

/** Offsets and widths of the record's fields, in bytes. */
export declare const FIELDS: Readonly<{
  siteData: { readonly offset: 0; readonly size: 16 };
  roomName: { readonly offset: 16; readonly size: 32 };
  ownerName: { readonly offset: 48; readonly size: 16 };
  nick: { readonly offset: 64; readonly size: 16 };
  address: { readonly offset: 80 };
}>;

/** Every byte of the address field, the port's two included, is XORed with this. */
export declare const SCRAMBLE: 0xc7;

/** The program's first frame; any other greeting is a program of another channel version. */
export declare const GREETING: '1';
export declare const DEFAULT_TIMEOUT_MS: 5000;

/** Why connect() rejected (error.reason) or a 'refused' event came. */
export declare const REFUSAL_REASONS: Readonly<{
  unreachable: 'unreachable';
  permissionDenied: 'permission-denied';
  permissionPrompt: 'permission-prompt';
  timeout: 'timeout';
  incompatible: 'incompatible';
  closed: 'closed';
}>;

/** The names the local-access permission goes by, newest first. */
export declare const PERMISSION_NAMES: readonly ['loopback-network', 'local-network-access', 'local-network'];

/** A room to join. Names longer than their fields are cut at a character boundary. */
export interface Room {
  /** Up to 16 bytes, or a text of up to 16 UTF-8 bytes, kept for the site and never read by the program. */
  siteData?: string | Uint8Array | readonly number[];
  roomName?: string;
  ownerName?: string;
  /** The player name the room's server sees. */
  nick?: string;
  /** A dotted IPv4 text, an IPv6 text, or the address's 4 or 16 bytes. */
  address: string | Uint8Array | readonly number[];
  /** 1 to 65535. */
  port: number;
}

export interface JoinedRecord {
  joined: true;
  family: 'ipv4' | 'ipv6';
  /** Always 16 bytes, NUL-padded. */
  siteData: Uint8Array;
  roomName: string;
  ownerName: string;
  nick: string;
  address: string;
  port: number;
}

/** The program's room record: no room, or the last room joined from any page. */
export type RoomRecord = { joined: false } | JoinedRecord;

/** The browser's answer to "may this site reach programs on this device"; 'unknown' where it does not say. */
export type LocalAccessPermission = 'granted' | 'denied' | 'prompt' | 'unknown';

export type RefusalReason = (typeof REFUSAL_REASONS)[keyof typeof REFUSAL_REASONS];

export interface RefusedDetail {
  reason: RefusalReason;
  permission: LocalAccessPermission;
}

export interface CloseDetail {
  code: number;
  /** Whether the program had greeted the page. */
  wasOpen: boolean;
}

/** What connect() rejects with. */
export interface RefusalError extends Error {
  reason: RefusalReason;
  permission?: LocalAccessPermission;
}

/** What join() and leave() reject with: the connection ended first, or was not open. */
export interface CommandError extends Error {
  reason: 'closed' | 'not-connected';
}

export interface ReconnectingDetail {
  attempt: number;
  delayMs: number;
}

export interface ReconnectOptions {
  initialDelayMs?: number;
  maxDelayMs?: number;
}

export interface NimbrelCompanionOptions {
  /** The program's address; DEFAULT_URL by default. */
  url?: string;
  /** How long connect() waits for the greeting; DEFAULT_TIMEOUT_MS by default. */
  timeoutMs?: number;
  /**
   * After a failed attempt or a dropped connection, try again after a delay
   * that doubles each time (1 s up to 30 s by default), until close().
   */
  reconnect?: boolean | ReconnectOptions;
}

export interface NimbrelCompanionEventMap {
  open: CustomEvent<null>;
  record: CustomEvent<RoomRecord>;
  close: CustomEvent<CloseDetail>;
  refused: CustomEvent<RefusedDetail>;
  reconnecting: CustomEvent<ReconnectingDetail>;
}

/** A join command's payload: 86 bytes for an IPv4 room, 98 for an IPv6 one. Throws on a bad address or port. */
export declare function encodeJoin(room: Room): Uint8Array;

/** A record as the program sends it; null for a length the program never sends. */
export declare function decodeRecord(data: Uint8Array | ArrayBufferLike | ArrayLike<number>): RoomRecord | null;

export declare function localAccessPermission(): Promise<LocalAccessPermission>;

export declare class NimbrelCompanion extends EventTarget {
  constructor(options?: NimbrelCompanionOptions);
  readonly url: string;
  readonly timeoutMs: number;
  /** True from the program's greeting until the connection ends. */
  readonly isOpen: boolean;
  /** The last record received; null before the first. */
  readonly record: RoomRecord | null;

  /**
   * Resolves once the program has greeted the page; rejects with a RefusalError
   * (a 'refused' event says the same), or with a plain Error when already
   * connected or connecting.
   */
  connect(options?: { timeoutMs?: number }): Promise<void>;
  /**
   * Resolves with the echoed record once the program has taken the command;
   * rejects with a CommandError. Throws at once on a bad address or port.
   */
  join(room: Room): Promise<RoomRecord>;
  /** Resolves with the echoed record; rejects with a CommandError. */
  leave(): Promise<RoomRecord>;
  /** Ends the connection, and any reconnecting, for good. */
  close(): void;

  addEventListener<K extends keyof NimbrelCompanionEventMap>(type: K,
    listener: (this: NimbrelCompanion, event: NimbrelCompanionEventMap[K]) => unknown,
    options?: boolean | AddEventListenerOptions): void;
  addEventListener(type: string, listener: EventListenerOrEventListenerObject | null,
    options?: boolean | AddEventListenerOptions): void;
  removeEventListener<K extends keyof NimbrelCompanionEventMap>(type: K,
    listener: (this: NimbrelCompanion, event: NimbrelCompanionEventMap[K]) => unknown,
    options?: boolean | EventListenerOptions): void;
  removeEventListener(type: string, listener: EventListenerOrEventListenerObject | null,
    options?: boolean | EventListenerOptions): void;
}
