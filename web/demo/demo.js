// @ts-check
// The demo site's page: shows what Nimbrel Client is doing, from the kit's
// events alone, and joins and leaves the demo rooms.
import { NimbrelCompanion, NimbrelError, isValidPlayerName } from '../nimbrel-companion.js';

/** @typedef {{ id: string, roomName: string, ownerName: string, address: string, port: number }} DemoRoom */

const element = (/** @type {string} */ id) => /** @type {HTMLElement} */ (document.getElementById(id));
const state = element('state');
const prompt = element('prompt');
const problem = element('problem');
const leave = /** @type {HTMLButtonElement} */ (element('leave'));
const nick = /** @type {HTMLInputElement} */ (element('nick'));
// Looks for the program every second or two until it answers.
const companion = new NimbrelCompanion({ reconnect: { initialDelayMs: 1000, maxDelayMs: 2000 } });
/** @type {HTMLButtonElement[]} */
const joinButtons = [];

/** @param {string} address @param {number} port */
const hostPort = (address, port) => (address.includes(':') ? `[${address}]:${port}` : `${address}:${port}`);

/** @param {string} name @param {string} text */
function show(name, text) {
  state.dataset.state = name;
  state.textContent = text;
}

// Buttons follow the channel and the record: joining needs an open channel,
// leaving a joined room.
function update() {
  const record = companion.isOpen ? companion.record : null;
  const current = record?.joined ? record.siteData : null;
  for (const button of joinButtons) {
    const here = current !== null && new TextDecoder().decode(current).replace(/\0+$/, '') === button.value;
    button.disabled = !companion.isOpen;
    // Seen as "Join" or "Join again", heard with the room's name.
    /** @type {HTMLElement} */ (button.querySelector('.again')).hidden = !here;
    button.closest('tr')?.classList.toggle('current', here);
  }
  leave.disabled = !record?.joined;
}

/** @param {() => Promise<unknown>} command */
function send(command) {
  /** @param {unknown} error */
  const report = (error) => {
    if (error instanceof NimbrelError && error.reason === 'invalid-name') {
      problem.textContent = 'A name in the game has 3 to 16 letters, digits or _.';
    } else {
      problem.textContent = error instanceof Error ? error.message : String(error);
    }
  };
  problem.textContent = '';
  command().catch(report);
}

/** @param {DemoRoom} room */
function join(room) {
  nick.setAttribute('aria-invalid', String(!isValidPlayerName(nick.value)));
  send(() => companion.join({ siteData: room.id, roomName: room.roomName, ownerName: room.ownerName,
    nick: nick.value, address: room.address, port: room.port }));
}

companion.addEventListener('open', () => {
  prompt.hidden = true;
  update();
});
companion.addEventListener('record', ({ detail: record }) => {
  if (record.joined) show('room', `In room ${record.roomName} (owner ${record.ownerName}) as ${record.nick}.`);
  else show('standby', 'Nimbrel Client is running, no room joined: in the game, 127.0.0.1 asks you to pick one here.');
  update();
});
companion.addEventListener('refused', ({ detail }) => {
  // The browser is asking the player; the attempt goes on until the answer.
  prompt.hidden = detail.reason !== 'permission-prompt';
  if (detail.reason === 'permission-denied') {
    show('blocked', 'This browser blocks the site from reaching Nimbrel Client. Allow "Access other apps and ' +
      'services on this device" in the site settings (the icon left of the address bar), then reload.');
  } else if (detail.reason === 'timeout') {
    show('absent', 'Nimbrel Client does not answer. Restart it.');
  } else if (detail.reason === 'incompatible') {
    show('absent', 'This Nimbrel Client is a version this page cannot talk to. Update it.');
  } else if (detail.reason === 'unreachable') {
    show('absent', 'Nimbrel Client is not running. Start it, and this page finds it.');
  }
});
companion.addEventListener('close', ({ detail }) => {
  if (detail.wasOpen) show('absent', 'Nimbrel Client has stopped. Start it again, and this page finds it.');
  update();
});

async function listRooms() {
  const { version, rooms } = await (await fetch('rooms.json')).json();
  element('version').textContent = version;
  const body = element('rooms');
  for (const room of /** @type {DemoRoom[]} */ (rooms)) {
    const row = document.createElement('tr');
    for (const text of [room.roomName, room.ownerName, hostPort(room.address, room.port)]) {
      row.appendChild(document.createElement('td')).textContent = text;
    }
    const button = document.createElement('button');
    button.value = room.id;
    button.append('Join', Object.assign(document.createElement('span'), { className: 'visually-hidden',
      textContent: ` ${room.roomName}` }), Object.assign(document.createElement('span'), { className: 'again',
      textContent: ' again', hidden: true }));
    button.addEventListener('click', () => join(room));
    row.appendChild(document.createElement('td')).appendChild(button);
    joinButtons.push(button);
    body.appendChild(row);
  }
  update();
}

leave.addEventListener('click', () => send(() => companion.leave()));
nick.addEventListener('input', () => nick.removeAttribute('aria-invalid'));
listRooms().catch((error) => {
  problem.textContent = `The room list did not load: ${error.message}`;
});
// Each failed attempt is reported by a 'refused' event.
companion.connect().catch(() => {});
