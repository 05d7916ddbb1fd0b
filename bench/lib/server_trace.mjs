// Reads the request trace of a Wine server started with "-d1" (every kernel
// call a process makes under Wine is one request to that server, so the
// trace is the truest count of a step's Windows calls) and counts, between
// pairs of marker files that a benchmark opens, the requests of each process
// by name, and the requests a thread made while it owned a mutex: from the
// wait that returned it to its release_mutex.
//
// A marker is a file whose name holds "calls-mark-" + step + "-begin", and
// "-end" (or "-void" for a run that failed, which is not counted); opening it
// for writing is a create_file request that names it.
//
// Run by testbed/bench after "calls" (in the host's node, once the traced
// server has ended): node bench/lib/server_trace.mjs TRACE
import fs from 'node:fs';
import readline from 'node:readline';
import { pathToFileURL } from 'node:url';
import { formatTable } from './stats.mjs';

const requestLine = /^([0-9a-f]{4,8}): (\w+)\( ?(.*)$/;
const replyLine = /^([0-9a-f]{4,8}): (\w+)\(\) = (\w+)(?: \{ (.*))?$/;
const marker = /calls-mark-([\w.-]+)-(begin|end|void)/;

// The program a command line runs, with the script or role that tells
// processes of the same image apart.
function label(cmdline) {
  const words = cmdline.replaceAll('\\"', '"').match(/"[^"]*"|\S+/g) ?? [];
  const base = (w) => w.replaceAll('"', '').split('\\').pop();
  const image = base(words[0] ?? '?');
  const script = words.slice(1).map(base).find((w) => /\.(m?js)$/.test(w));
  const role = words.find((w, i) => words[i - 1] === '--role');
  return [image, script ?? role].filter(Boolean).join(' ');
}

function addRun(steps, step, run) {
  if (!steps.has(step)) steps.set(step, { runs: 0, perProcess: new Map(), holds: new Map() });
  const into = steps.get(step);
  into.runs += 1;
  for (const [who, names] of run.perProcess) {
    if (!into.perProcess.has(who)) into.perProcess.set(who, new Map());
    const sum = into.perProcess.get(who);
    for (const [name, n] of names) sum.set(name, (sum.get(name) ?? 0) + n);
  }
  for (const [key, counts] of run.holds) into.holds.set(key, [...(into.holds.get(key) ?? []), ...counts]);
}

export async function countCalls(file) {
  const pidOfThread = new Map();
  const labelOfPid = new Map();
  const pendingProcess = new Map(); // thread -> label of the process it is creating
  const pendingThread = new Set(); // threads creating a thread in their own process
  const steps = new Map(); // step -> { perProcess: Map(label -> Map(name -> n)), holds: Map(label -> [n...]) }
  const open = new Map(); // step -> the counts of its run so far
  // Per thread: the request count (over open windows) when it last waited on
  // each single handle.
  const waitedAt = new Map();
  const seen = new Map(); // thread -> requests seen in windows

  const input = readline.createInterface({ input: fs.createReadStream(file), crlfDelay: Infinity });
  for await (const line of input) {
    const reply = replyLine.exec(line);
    if (reply) {
      const [, tid, name, , rest = ''] = reply;
      if (name === 'init_first_thread') {
        const m = /pid=([0-9a-f]+), tid=([0-9a-f]+)/.exec(rest);
        if (m) pidOfThread.set(m[2], m[1]);
      } else if (name === 'new_thread' && pendingThread.delete(tid)) {
        const m = /tid=([0-9a-f]+)/.exec(rest);
        if (m && pidOfThread.has(tid)) pidOfThread.set(m[1], pidOfThread.get(tid));
      } else if (name === 'new_process' && pendingProcess.has(tid)) {
        const m = /pid=([0-9a-f]+)/.exec(rest);
        if (m) labelOfPid.set(m[1], pendingProcess.get(tid));
        pendingProcess.delete(tid);
      }
      continue;
    }
    const request = requestLine.exec(line);
    if (!request) continue;
    const [, tid, name, args] = request;
    if (name === 'new_thread' && args.startsWith('process=ffffffff')) pendingThread.add(tid);
    if (name === 'new_process') {
      const m = /cmdline=L"((?:[^"\\]|\\.)*)"/.exec(args);
      pendingProcess.set(tid, m ? label(m[1]) : '?');
    }
    if (name === 'create_file') {
      const m = marker.exec(args);
      // Only the benchmark's own open writes a marker (node's "w"); whoever
      // removes the home later opens them too.
      if (m && args.includes('create=5,')) {
        // Opening an existing file may take more than one request: a run
        // begins at the first.
        if (m[2] === 'begin' && !open.has(m[1])) {
          open.set(m[1], { perProcess: new Map(), holds: new Map() });
        } else if (open.has(m[1])) {
          // A run that failed ("-void") is not counted.
          if (m[2] === 'end') addRun(steps, m[1], open.get(m[1]));
          open.delete(m[1]);
        }
        continue;
      }
    }
    if (open.size === 0) continue;
    const pid = pidOfThread.get(tid) ?? '?';
    const who = `${labelOfPid.get(pid) ?? 'process'} ${parseInt(pid, 16) || '?'}`;
    const count = (seen.get(tid) ?? 0) + 1;
    seen.set(tid, count);
    for (const { perProcess, holds } of open.values()) {
      if (!perProcess.has(who)) perProcess.set(who, new Map());
      const names = perProcess.get(who);
      names.set(name, (names.get(name) ?? 0) + 1);
      if (name === 'release_mutex') {
        const handle = /handle=([0-9a-f]+)/.exec(args)?.[1];
        const at = waitedAt.get(tid)?.get(handle);
        if (at !== undefined) {
          const key = `${who} mutex ${handle}`;
          if (!holds.has(key)) holds.set(key, []);
          holds.get(key).push(count - at - 1);
        }
      }
    }
    if (name === 'select') {
      const handles = /handles=\{([0-9a-f]+)\}/.exec(args)?.[1];
      if (handles) {
        if (!waitedAt.has(tid)) waitedAt.set(tid, new Map());
        waitedAt.get(tid).set(handles, count);
      }
    }
  }
  return steps;
}

// What a request proves or does, for the tables: a handful of groups.
export function groupOf(name) {
  if (/^(create_file|open_file_object|open_mutex|open_process|open_thread|open_token|open_event|create_named_pipe|open_mapping)$/.test(name)) return 'open';
  if (name === 'close_handle') return 'close';
  if (/security|token|sid|privilege|object_info|object_name|handle_unix_name|compare_objects/.test(name)) return 'identity and security';
  if (/^(get_handle_fd|get_file_info|get_volume_info|set_fd_disp_info|set_fd_name_info|get_directory_entry)$/.test(name)) return 'file information';
  if (/^(read|write|flush|get_async_result|ioctl|register_async|cancel_async)$/.test(name)) return 'i/o';
  if (/^(select|release_mutex|create_event|event_op|set_event|create_mutex)$/.test(name)) return 'wait and sync';
  return 'other';
}

// The table: per step, the requests of all processes per run and of each
// process by group (the six most frequent requests beside them), and per
// mutex hold the requests made while it was owned.
export function callRows(steps) {
  const rows = [];
  for (const [step, { runs, perProcess, holds }] of steps) {
    rows.push({ name: `${step}: requests, all processes`, unit: 'count', samples: [total(perProcess) / runs],
      detail: `${runs} runs` });
    for (const [who, names] of perProcess) {
      const n = sum(names.values()) / runs;
      if (n < 1) continue;
      const groups = new Map();
      for (const [name, k] of names) groups.set(groupOf(name), (groups.get(groupOf(name)) ?? 0) + k);
      const byCount = (a, b) => b[1] - a[1];
      const top = [...names].sort(byCount).slice(0, 6).map(([name, k]) => `${name} ${fmt(k / runs)}`);
      const grouped = [...groups].sort(byCount).map(([g, k]) => `${g} ${fmt(k / runs)}`);
      rows.push({ name: `${step}: ${who}`, unit: 'count', samples: [n],
        detail: `${grouped.join(', ')}; most: ${top.join(', ')}` });
    }
    for (const [key, counts] of holds) {
      rows.push({ name: `${step}: ${key}, requests per hold`, unit: 'count', samples: counts,
        detail: `${fmt(counts.length / runs)} holds per run` });
    }
  }
  return rows;
}

const sum = (values) => [...values].reduce((a, b) => a + b, 0);
const total = (perProcess) => sum([...perProcess.values()].map((names) => sum(names.values())));
const fmt = (x) => (Math.round(x * 10) / 10).toString();

if (process.argv[1] && import.meta.url === pathToFileURL(process.argv[1]).href) {
  console.log(formatTable(callRows(await countCalls(process.argv[2]))));
}
