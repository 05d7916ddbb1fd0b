// The link between the resident runtime and its broker host. The host is the
// runtime's managed child (spawnResidentHost); its standard streams are the
// link, read and written through the addon's poll and write. Each message is
// one JSON object on one line with a "type" member:
//   host -> runtime  the ready line {"host":"ready",...} (type "ready"),
//                    {"type":"endpoint","record":TEXT} or
//                    {"type":"endpoint_refused","reason":CODE},
//                    {"host":"activated"} (type "activated") once published,
//                    then whatever the host's services add;
//   runtime -> host  {"type":"residency","observation":{...}}, then the
//                    services' answers.
// The two host lines that predate the link carry "host" instead of "type";
// their value serves as the type.
//
//   const link = new HostLink(addon, await addon.spawnResidentHost());
//   await link.receive('ready');
//   link.send({ type: 'residency', observation });
//   const { record } = await link.receive('endpoint');
//   link.on('request', (message) => ...);   // every later message of a type
//   link.close();                            // stops polling; the host stays
//
import { StringDecoder } from 'node:string_decoder';
import { servePipe } from './local_pipe.mjs';

// poll never waits, so the link polls: at once when the host wakes it (see
// wakePipe), on the next turn of the event loop while lines come and right
// after a line was sent (a request's answer is then on its way, and the
// host's next line follows closely), every millisecond while a write is in
// flight, backing off while the host stays quiet, to every 16 ms until its
// wake has come and to every 250 ms after. Under Wine every poll is three
// calls to the one server process all of the home's processes need, so an
// idle link keeps polling rare. A turn drains what the host wrote, one poll
// per 64 KiB, and lines queued while a write was in flight leave together in
// the next write.
const QUIET_MS = 1;
const IDLE_MS = 16;
// Then the idle poll is only a safety net: the host's lines and its end both
// wake the link.
const WOKEN_IDLE_MS = 250;
// poll returns at most this much of a stream per call; a full read means
// more may be waiting.
const POLL_CHUNK = 65536;
// A turn's polls are bounded so that a flooding host cannot starve the
// runtime's other work.
const DRAIN_POLLS = 16;
// One write carries at most this much (the addon refuses more).
const WRITE_LIMIT = 8388608;

// The host's wake: after the lines it has written, the host writes a byte to
// this pipe, named after both processes, which the link listens on; each
// byte makes the link poll at once rather than at its next idle poll. The
// host writes only to a pipe that this runtime serves (it asks the pipe
// which process serves it), and nothing passes over it but "poll now", so
// whoever else reaches the name can at most make the link poll more often.
// Without it (the name taken, the host not yet connected) the link polls as
// before.
const wakePipe = (runtimePid, hostPid) => `\\\\.\\pipe\\nuvra-host-wake-${runtimePid}-${hostPid}`;

export class HostLinkClosed extends Error {}

export class HostLink {
  constructor(addon, host) {
    this.addon = addon;
    this.id = host.id;
    this.pid = host.pid;
    this.stderr = '';
    this.exitCode = undefined;
    this.pending = '';
    // A character may straddle two polls' bytes.
    this.decoder = new StringDecoder('utf8');
    this.outbox = [];
    this.writing = false;
    this.waiters = new Map(); // type -> [{ resolve, reject }]
    this.queued = new Map(); // type -> [message]
    this.handlers = new Map(); // type -> handler
    this.closed = false;
    this.timer = null;
    this.immediate = null;
    this.delay = QUIET_MS;
    this.exited = new Promise((resolve) => { this.resolveExit = resolve; });
    this.wakes = 0;
    this.wake = this.listenForWake();
    this.tick();
  }

  listenForWake() {
    // The link's own polling keeps the runtime alive while it is open.
    return servePipe(wakePipe(process.pid, this.pid), (socket) => {
      socket.on('data', () => {
        this.wakes += 1;
        this.hurry();
      });
      // The host's end closes it: its exit is then seen at once too.
      socket.on('close', () => this.hurry());
    }, { unref: true });
  }

  // One line to the host; lines wait for the write before them.
  send(message) {
    if (this.closed) throw new HostLinkClosed('host_link_closed');
    this.outbox.push(Buffer.from(`${JSON.stringify(message)}\n`, 'utf8'));
    this.flush();
    this.hurry();
  }

  // The next message of `type` (one already received and not yet taken, or
  // the next to come). Rejects when the host exits first, when the link is
  // closed or when `signal` aborts.
  receive(type, { signal } = {}) {
    const queued = this.queued.get(type);
    if (queued?.length) return Promise.resolve(queued.shift());
    if (this.exitCode !== undefined || this.closed) return Promise.reject(this.endedError());
    return new Promise((resolve, reject) => {
      const waiter = { resolve, reject };
      const list = this.waiters.get(type) ?? [];
      list.push(waiter);
      this.waiters.set(type, list);
      signal?.addEventListener('abort', () => {
        const left = this.waiters.get(type) ?? [];
        const index = left.indexOf(waiter);
        if (index >= 0) left.splice(index, 1);
        reject(signal.reason);
      }, { once: true });
    });
  }

  // Every later message of `type` goes to `handler` (after the waiters of
  // receive), including those already queued.
  on(type, handler) {
    this.handlers.set(type, handler);
    for (const message of this.queued.get(type) ?? []) handler(message);
    this.queued.delete(type);
  }

  close() {
    this.closed = true;
    this.wake.close();
    this.unschedule();
    this.rejectAll(new HostLinkClosed('host_link_closed'));
  }

  endedError() {
    return this.closed
      ? new HostLinkClosed('host_link_closed')
      : new HostLinkClosed(`host_exited: ${this.exitCode} ${this.stderr.trim()}`);
  }

  // Polls on the next turn: an answer just queued, or lines coming.
  hurry() {
    this.delay = QUIET_MS;
    if (this.closed || this.immediate) return;
    clearTimeout(this.timer);
    this.timer = null;
    this.immediate = setImmediate(() => this.tick());
  }

  unschedule() {
    clearTimeout(this.timer);
    clearImmediate(this.immediate);
    this.timer = null;
    this.immediate = null;
  }

  // Everything queued goes in one write, so that an answer of several lines
  // costs one write and one completion, not one per line.
  flush() {
    while (!this.writing && this.outbox.length) {
      let count = 1;
      let size = this.outbox[0].length;
      while (count < this.outbox.length && size + this.outbox[count].length <= WRITE_LIMIT) {
        size += this.outbox[count].length;
        count += 1;
      }
      const parts = this.outbox.splice(0, count);
      const bytes = count === 1 ? parts[0] : Buffer.concat(parts, size);
      // false: the write is in flight; poll reports its completion.
      this.writing = !this.addon.write(this.id, bytes);
    }
  }

  tick() {
    this.timer = null;
    this.immediate = null;
    if (this.closed) return;
    let busy = false;
    try {
      let polled;
      for (let polls = 0; polls < DRAIN_POLLS; polls += 1) {
        polled = this.addon.poll(this.id);
        if (polled.write_complete && this.writing) {
          this.writing = false;
          this.flush();
        }
        if (polled.stderr) this.stderr = (this.stderr + polled.stderr.toString('utf8')).slice(-4096);
        if (polled.stdout?.length) {
          busy = true;
          this.pending += this.decoder.write(polled.stdout);
          let end;
          while ((end = this.pending.indexOf('\n')) >= 0) {
            const line = this.pending.slice(0, end);
            this.pending = this.pending.slice(end + 1);
            this.deliver(line);
          }
          if (this.closed) return;
        }
        if (polled.stdout?.length !== POLL_CHUNK && polled.stderr?.length !== POLL_CHUNK) break;
      }
      if (polled.exit_code !== undefined && !polled.stdout?.length) {
        this.exitCode = polled.exit_code;
        this.closed = true;
        this.wake.close();
        this.rejectAll(this.endedError());
        this.resolveExit(this.exitCode);
        return;
      }
    } catch (error) {
      this.closed = true;
      this.wake.close();
      this.rejectAll(error);
      this.resolveExit(undefined);
      return;
    }
    if (busy || this.writing) this.delay = QUIET_MS;
    if (this.timer || this.immediate) return;
    // Lines came: the next may already be there. A write in flight waits on
    // the host's reading, which a stuck host never does: no spinning on it.
    if (busy) {
      this.immediate = setImmediate(() => this.tick());
      return;
    }
    this.timer = setTimeout(() => this.tick(), this.delay);
    if (!this.writing) this.delay = Math.min(this.delay * 2, this.wakes ? WOKEN_IDLE_MS : IDLE_MS);
  }

  deliver(line) {
    let message;
    try {
      message = JSON.parse(line);
    } catch {
      return;
    }
    const type = message?.type ?? message?.host;
    if (typeof type !== 'string') return;
    const waiter = this.waiters.get(type)?.shift();
    if (waiter) return waiter.resolve(message);
    const handler = this.handlers.get(type);
    if (handler) return handler(message);
    const list = this.queued.get(type) ?? [];
    list.push(message);
    this.queued.set(type, list);
  }

  rejectAll(error) {
    for (const list of this.waiters.values()) for (const waiter of list) waiter.reject(error);
    this.waiters.clear();
  }
}
