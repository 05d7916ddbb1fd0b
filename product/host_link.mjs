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
// Polling is cheap but not free: it runs every millisecond while lines come
// or a write is in flight and backs off to every 16 ms while the host is
// quiet.
const FAST_MS = 1;
const IDLE_MS = 16;

export class HostLinkClosed extends Error {}

export class HostLink {
  constructor(addon, host) {
    this.addon = addon;
    this.id = host.id;
    this.pid = host.pid;
    this.stderr = '';
    this.exitCode = undefined;
    this.pending = '';
    this.outbox = [];
    this.writing = false;
    this.waiters = new Map(); // type -> [{ resolve, reject }]
    this.queued = new Map(); // type -> [message]
    this.handlers = new Map(); // type -> handler
    this.closed = false;
    this.delay = FAST_MS;
    this.timer = null;
    this.exited = new Promise((resolve) => { this.resolveExit = resolve; });
    this.tick();
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
    clearTimeout(this.timer);
    this.rejectAll(new HostLinkClosed('host_link_closed'));
  }

  endedError() {
    return this.closed
      ? new HostLinkClosed('host_link_closed')
      : new HostLinkClosed(`host_exited: ${this.exitCode} ${this.stderr.trim()}`);
  }

  hurry() {
    if (this.delay === FAST_MS || this.closed) return;
    this.delay = FAST_MS;
    clearTimeout(this.timer);
    this.timer = setTimeout(() => this.tick(), this.delay);
  }

  flush() {
    while (!this.writing && this.outbox.length) {
      const bytes = this.outbox.shift();
      // false: the write is in flight; poll reports its completion.
      this.writing = !this.addon.write(this.id, bytes);
    }
  }

  tick() {
    if (this.closed) return;
    let busy = this.writing;
    try {
      const polled = this.addon.poll(this.id);
      if (polled.write_complete && this.writing) {
        this.writing = false;
        this.flush();
      }
      if (polled.stderr) this.stderr = (this.stderr + polled.stderr.toString('utf8')).slice(-4096);
      if (polled.stdout?.length) {
        busy = true;
        this.pending += polled.stdout.toString('utf8');
        let end;
        while ((end = this.pending.indexOf('\n')) >= 0) {
          const line = this.pending.slice(0, end);
          this.pending = this.pending.slice(end + 1);
          this.deliver(line);
        }
      }
      if (polled.exit_code !== undefined && !polled.stdout?.length) {
        this.exitCode = polled.exit_code;
        this.closed = true;
        this.rejectAll(this.endedError());
        this.resolveExit(this.exitCode);
        return;
      }
    } catch (error) {
      this.closed = true;
      this.rejectAll(error);
      this.resolveExit(undefined);
      return;
    }
    this.delay = busy ? FAST_MS : Math.min(this.delay * 2, IDLE_MS);
    this.timer = setTimeout(() => this.tick(), this.delay);
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
