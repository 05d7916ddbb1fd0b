// Turns for the client operations of one home. Every step of an operation
// that changes state waits for the home's serialisation mutex, once for each
// of about ten steps, behind every other process of the home; with many
// clients at once each operation waits behind all the others at every step,
// and all of them run out of their one-second budget together. So a client
// first takes a turn from the serving resident, before its budget starts:
// at most TURNS operations of the home run at once, the others queue, in
// order of arrival.
//
// The resident serves the turns on a local pipe named after the home. A turn
// is one connection: the resident writes one byte when it grants it, and the
// turn ends when the connection closes, also when the client dies. Nothing
// else passes over it, so whoever else may reach or squat the name can at
// most delay a client: a client that gets no answer within TURN_WAIT_MS, or
// finds no resident, goes without a turn, as every client did before.
import crypto from 'node:crypto';
import net from 'node:net';
import { servePipe } from './local_pipe.mjs';

const TURNS = 4;
const TURN_WAIT_MS = 5000;

// The pipe of the home `home` (as initialize names it; letter case aside).
function turnPipe(home) {
  const key = crypto.createHash('sha256').update(home.toLowerCase(), 'utf8').digest('hex');
  return `\\\\.\\pipe\\nuvra-turns-${key.slice(0, 32)}`;
}

// Grants turns on `home`'s pipe until close() is called, which ends every
// turn and every wait. A pipe that cannot be listened on (another resident
// of the home still has it) serves nothing.
export function serveTurns(home, turns = TURNS) {
  const waiting = [];
  let running = 0;
  const grant = () => {
    while (running < turns && waiting.length) {
      const socket = waiting.shift();
      running += 1;
      socket.granted = true;
      socket.write('1');
    }
  };
  return servePipe(turnPipe(home), (socket) => {
    socket.on('close', () => {
      const queued = waiting.indexOf(socket);
      if (socket.granted) running -= 1;
      else if (queued >= 0) waiting.splice(queued, 1);
      grant();
    });
    waiting.push(socket);
    grant();
  });
}

// Waits for a turn on `home`; resolves with { granted, end }, `end` ending
// the turn, also when none was granted (no resident, no answer in time).
export function takeTurn(home, waitMs = TURN_WAIT_MS) {
  return new Promise((resolve) => {
    const socket = net.connect(turnPipe(home));
    const end = () => socket.destroy();
    const settle = (granted) => {
      clearTimeout(timer);
      // Without a turn the client holds no place in the queue either.
      if (!granted) end();
      resolve({ granted, end });
    };
    const timer = setTimeout(() => settle(false), waitMs);
    socket.once('data', () => settle(true));
    socket.once('error', () => settle(false));
    socket.once('close', () => settle(false));
  });
}
