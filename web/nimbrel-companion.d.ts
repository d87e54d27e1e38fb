// Types of the Nimbrel companion kit (nimbrel-companion.js).

/** The kit's version, the program's. */
export declare const version: string;

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
export declare const DEFAULT_COMMAND_TIMEOUT_MS: 5000;

/** Why connect() rejected (error.reason) or a 'refused' event came. */
export declare const REFUSAL_REASONS: Readonly<{
  unreachable: 'unreachable';
  permissionDenied: 'permission-denied';
  permissionPrompt: 'permission-prompt';
  timeout: 'timeout';
  incompatible: 'incompatible';
}>;

/** Every reason a NimbrelError carries. */
export declare const ERROR_REASONS: Readonly<{
  unreachable: 'unreachable';
  permissionDenied: 'permission-denied';
  permissionPrompt: 'permission-prompt';
  timeout: 'timeout';
  incompatible: 'incompatible';
  closed: 'closed';
  notConnected: 'not-connected';
  alreadyConnected: 'already-connected';
  invalidName: 'invalid-name';
  invalidRoom: 'invalid-room';
}>;

/** The names the local-access permission goes by, newest first. */
export declare const PERMISSION_NAMES: readonly ['loopback-network', 'local-network-access', 'local-network'];

/** A room to join. Room and owner names longer than their fields are cut at a character boundary. */
export interface Room {
  /** Up to 16 bytes, or a text of up to 16 UTF-8 bytes, kept for the site and never read by the program. */
  siteData?: string | Uint8Array | readonly number[];
  roomName?: string;
  ownerName?: string;
  /** The player name the room's server sees: 3 to 16 letters, digits or _ (isValidPlayerName). */
  nick: string;
  /** A dotted IPv4 text, an IPv6 text, or the address's 4 or 16 bytes. */
  address: string | Uint8Array | readonly number[];
  /** 1 to 65535, as a number or a decimal text. */
  port: number | string;
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
export type ErrorReason = (typeof ERROR_REASONS)[keyof typeof ERROR_REASONS];

/** What every promise of the kit rejects with, but for an aborted call (the signal's reason). */
export declare class NimbrelError extends Error {
  constructor(reason: ErrorReason, message: string, options?: { permission?: LocalAccessPermission; cause?: unknown });
  readonly name: 'NimbrelError';
  readonly reason: ErrorReason;
  /** On refusals: the browser's answer to the local-access permission. */
  readonly permission?: LocalAccessPermission;
}

export interface RefusedDetail {
  reason: RefusalReason;
  permission: LocalAccessPermission;
  /** The error connect() rejected with, or would have. */
  error: NimbrelError;
}

export interface CloseDetail {
  /** 1000 when the page called close(), else 1006. */
  code: 1000 | 1006;
  /** Whether the connection had opened. */
  wasOpen: boolean;
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
  /** How long connect() waits for the greeting and the record; DEFAULT_TIMEOUT_MS by default. */
  timeoutMs?: number;
  /** How long join() and leave() wait for the echo; DEFAULT_COMMAND_TIMEOUT_MS by default. */
  commandTimeoutMs?: number;
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

/** What the game accepts as a player name: 3 to 16 letters, digits or _. */
export declare function isValidPlayerName(name: unknown): name is string;

/**
 * A join command's payload: 86 bytes for an IPv4 room, 98 for an IPv6 one.
 * Throws a NimbrelError ('invalid-name' or 'invalid-room').
 */
export declare function encodeJoin(room: Room): Uint8Array;

/** A record as the program sends it; null for a length the program never sends. */
export declare function decodeRecord(data: Uint8Array | ArrayBufferLike | ArrayLike<number>): RoomRecord | null;

export declare function localAccessPermission(): Promise<LocalAccessPermission>;

export type ConnectionState = 'connecting' | 'open' | 'reconnecting' | 'closed';

export interface ConnectOptions {
  /** How long to wait for the greeting and the record; the constructor's timeoutMs by default. */
  timeoutMs?: number;
  /** Aborting it ends the attempt and any reconnecting; the promise rejects with its reason. */
  signal?: AbortSignal;
}

export interface CommandOptions {
  /** How long to wait for the echo; the constructor's commandTimeoutMs by default. */
  timeoutMs?: number;
  /** Aborting it rejects the promise with its reason; a command already sent may still be taken. */
  signal?: AbortSignal;
}

export declare class NimbrelCompanion extends EventTarget {
  constructor(options?: NimbrelCompanionOptions);
  readonly url: string;
  readonly timeoutMs: number;
  readonly state: ConnectionState;
  /** True from the program's first record until the connection ends: state === 'open'. */
  readonly isOpen: boolean;
  /** The last record received; null before the first. */
  readonly record: RoomRecord | null;

  /**
   * Resolves with the program's first record once it has greeted the page;
   * rejects with a NimbrelError (a refusal, 'closed' or 'already-connected').
   */
  connect(options?: ConnectOptions): Promise<RoomRecord>;
  /** Resolves with the joined room's record, as echoed; rejects with a NimbrelError. */
  join(room: Room, options?: CommandOptions): Promise<JoinedRecord>;
  /** Resolves with the echoed record (no room); rejects with a NimbrelError. */
  leave(options?: CommandOptions): Promise<{ joined: false }>;
  /** Ends the connection, and any reconnecting, for good; connect() may follow at once. */
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
