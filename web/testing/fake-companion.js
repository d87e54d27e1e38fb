// A stand-in for the Nimbrel Client program, for a site's own tests: it takes
// the place of the WebSocket to the program (and of the browser's answer to
// the local-access permission) inside the page or the test process, with no
// sockets, and answers the kit as the program does: the greeting and the
// record on opening, an echo of every join and leave to every page. Each way
// a connection or a command fails can be set up.
//
//   import { FakeCompanion } from 'nimbrel-companion/testing';
//   const fake = new FakeCompanion().install();
//   ... the page's code, with new NimbrelCompanion() as usual ...
//   fake.room;                     // the decoded record: what the page joined
//   fake.frozen = true;            // commands now time out
//   fake.stop();                   // the program exits: pages see 'close'
//   fake.uninstall();
import { DEFAULT_URL, GREETING, PERMISSION_NAMES, RECORD_LENGTH_IPV4, RECORD_LENGTH_IPV6, RECORD_LENGTH_NONE,
  decodeRecord } from '../nimbrel-companion.js';

const MAX_PAGES = 16;
const later = (step) => setTimeout(step, 0);

export class FakeCompanion {
  // Whether the program runs: when false, connections fail ('unreachable').
  running = true;
  // The browser's answer to the local-access permission: 'denied' fails
  // connections before they reach the program ('permission-denied'); 'prompt'
  // holds them until answerPrompt() ('permission-prompt' once connect() times out).
  permission = 'granted';
  // The first frame; another text is a program of another channel version ('incompatible').
  greeting = GREETING;
  // A program that hangs: new connections get no greeting, commands no echo ('timeout').
  frozen = false;
  // The commands taken, decoded, oldest first.
  commands = [];
  #url;
  #record = new Uint8Array(0);
  #pages = new Set();
  #held = new Set();
  #restore = null;

  constructor({ url = DEFAULT_URL } = {}) {
    this.#url = url;
  }

  // The room joined: { joined: false } or the last join's decoded record.
  get room() { return decodeRecord(this.#record); }
  // The pages connected now (the program takes 16 at most).
  get pages() { return this.#pages.size; }

  // Stands in for the program from now on: WebSocket connections to its URL
  // come here (others go to the real WebSocket), and the local-access
  // permission answers `permission`. Returns this.
  install() {
    if (this.#restore) return this;
    const fake = this;
    const RealWebSocket = globalThis.WebSocket;
    // eslint-disable-next-line no-shadow
    function WebSocket(url, protocols) {
      if (String(url) !== fake.#url) return new RealWebSocket(url, protocols);
      return fake.#connect();
    }
    Object.assign(WebSocket, { CONNECTING: 0, OPEN: 1, CLOSING: 2, CLOSED: 3 });
    const hadNavigator = 'navigator' in globalThis;
    if (!hadNavigator) Object.defineProperty(globalThis, 'navigator', { value: {}, configurable: true, writable: true });
    const { navigator } = globalThis;
    const permissions = navigator.permissions;
    const realQuery = permissions?.query?.bind(permissions);
    const ownQuery = permissions && Object.hasOwn(permissions, 'query') ? permissions.query : undefined;
    const query = async (descriptor) => {
      if (PERMISSION_NAMES.includes(descriptor?.name)) return { state: fake.permission };
      if (!realQuery) throw new TypeError(`unknown permission: ${descriptor?.name}`);
      return realQuery(descriptor);
    };
    if (permissions) permissions.query = query;
    else Object.defineProperty(navigator, 'permissions', { value: { query }, configurable: true, writable: true });
    globalThis.WebSocket = WebSocket;
    this.#restore = () => {
      globalThis.WebSocket = RealWebSocket;
      if (!hadNavigator) delete globalThis.navigator;
      else if (ownQuery) permissions.query = ownQuery;
      else if (permissions) delete permissions.query;
      else delete navigator.permissions;
    };
    return this;
  }

  // Gives the real WebSocket and permissions back.
  uninstall() {
    this.#restore?.();
    this.#restore = null;
  }

  // The player answers the browser's prompt: connections held by it go on
  // ('granted') or fail ('denied').
  answerPrompt(state) {
    this.permission = state;
    const held = [...this.#held];
    this.#held.clear();
    for (const socket of held) this.#admit(socket);
  }

  // The program exits: every page's connection ends, and new ones fail until start().
  stop() {
    this.running = false;
    for (const socket of [...this.#pages, ...this.#held]) this.#fail(socket);
    this.#held.clear();
  }

  // The program starts again, with no room (it keeps none on disk).
  start() {
    this.running = true;
    this.#record = new Uint8Array(0);
  }

  #connect() {
    const socket = new FakeSocket(this.#url, (data) => this.#command(socket, data), () => this.#gone(socket));
    if (this.permission === 'prompt') this.#held.add(socket);
    else later(() => this.#admit(socket));
    return socket;
  }

  #admit(socket) {
    if (socket.readyState !== 0) return;
    if (this.permission === 'denied' || !this.running || this.#pages.size >= MAX_PAGES) {
      this.#fail(socket);
      return;
    }
    // A frozen program takes the connection but never answers its request.
    if (this.frozen) {
      this.#pages.add(socket);
      return;
    }
    this.#pages.add(socket);
    socket.deliver('open');
    socket.deliver('message', this.greeting);
    socket.deliver('message', this.#record.slice().buffer);
  }

  #fail(socket) {
    this.#pages.delete(socket);
    socket.deliver('error');
    socket.deliver('close', 1006);
  }

  #gone(socket) {
    this.#pages.delete(socket);
    this.#held.delete(socket);
  }

  #command(socket, data) {
    if (this.frozen || !this.#pages.has(socket)) return;
    const bytes = data instanceof Uint8Array ? data : new Uint8Array(ArrayBuffer.isView(data) ? data.buffer : data);
    if (![RECORD_LENGTH_NONE, RECORD_LENGTH_IPV4, RECORD_LENGTH_IPV6].includes(bytes.length)) return;
    this.#record = bytes.slice();
    this.commands.push(decodeRecord(this.#record));
    for (const page of this.#pages) page.deliver('message', this.#record.slice().buffer);
  }
}

// The page's end of a connection, as the kit uses a WebSocket.
class FakeSocket extends EventTarget {
  binaryType = 'blob';
  readyState = 0;
  #onSend;
  #onClose;

  constructor(url, onSend, onClose) {
    super();
    this.url = url;
    this.#onSend = onSend;
    this.#onClose = onClose;
  }

  send(data) {
    if (this.readyState === 0) throw new DOMException('still connecting', 'InvalidStateError');
    if (this.readyState === 1) later(() => this.#onSend(data));
  }

  // The program sends no close frame back, so the page sees 1006.
  close() {
    if (this.readyState >= 2) return;
    this.readyState = 2;
    this.#onClose();
    this.deliver('close', 1006);
  }

  // Delivers an event on a later turn, as the network would; after close()
  // only the close event comes.
  deliver(type, value) {
    later(() => {
      if (this.readyState === 3 || (this.readyState === 2 && type !== 'close')) return;
      if (type === 'open') this.readyState = 1;
      if (type === 'close') this.readyState = 3;
      const event = new Event(type);
      if (type === 'message') Object.assign(event, { data: value });
      if (type === 'close') Object.assign(event, { code: value, reason: '', wasClean: false });
      this.dispatchEvent(event);
      this[`on${type}`]?.(event);
    });
  }
}
