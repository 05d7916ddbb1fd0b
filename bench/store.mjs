// The memory store at size: capture and recall against a store that already
// holds `size` memories (100,000 at scale 1), the product's SQLite store
// (product/store.mjs: write-ahead log, synchronous FULL, full-text index)
// against the earlier line file (one JSON line per memory appended to
// state\memories.jsonl, recall reading and parsing the whole file), kept
// here as it was so that both are measured in the same run, interleaved.
// A recall looks for a word of one memory (rare) and for a word of every
// memory (common, the newest 32 are answered).
import fs from 'node:fs';
import path from 'node:path';
import { randomUUID } from 'node:crypto';
import { MemoryStore } from '../product/store.mjs';

const RECALL_LIMIT = 32;

// The earlier store, as serve.mjs kept it.
class LineFileStore {
  constructor(file) {
    this.file = file;
  }

  async capture(text) {
    const memory = { id: randomUUID(), text, captured_at: new Date().toISOString() };
    await fs.promises.appendFile(this.file, `${JSON.stringify(memory)}\n`, { mode: 0o600 });
    return memory;
  }

  async recall(word) {
    const wanted = word.toLowerCase();
    const text = await fs.promises.readFile(this.file, 'utf8');
    const found = [];
    for (const line of text.split('\n')) {
      if (!line) continue;
      const memory = JSON.parse(line);
      if (memory.text.toLowerCase().split(/[^\p{L}\p{N}_-]+/u).includes(wanted)) found.push(memory);
    }
    return found.slice(-RECALL_LIMIT);
  }
}

const noteText = (i) => `note ${i} about the kettle and word${i} with some more text to make it a sentence`;

export default async function store(bed, { size, count }) {
  const directory = path.win32.join(bed.home.scratch, 'store-bench');
  fs.mkdirSync(directory);
  const sqlite = new MemoryStore(bed.home.home, { file: path.win32.join(directory, 'memories.db') });
  const lines = new LineFileStore(path.win32.join(directory, 'memories.jsonl'));
  const rows = {
    fillSqlite: { name: `fill to ${size} memories, SQLite (one transaction)`, unit: 's', samples: [] },
    captureSqlite: { name: `capture at ${size} memories, SQLite (durable)`, unit: 'ms', samples: [] },
    captureLines: { name: `capture at ${size} memories, line file (append)`, unit: 'ms', samples: [] },
    rareSqlite: { name: `recall a word of one memory at ${size}, SQLite`, unit: 'ms', samples: [] },
    rareLines: { name: `recall a word of one memory at ${size}, line file`, unit: 'ms', samples: [] },
    commonSqlite: { name: `recall a word of every memory at ${size}, SQLite`, unit: 'ms', samples: [] },
    commonLines: { name: `recall a word of every memory at ${size}, line file`, unit: 'ms', samples: [] },
    sizeSqlite: { name: `store size at ${size} memories, SQLite`, unit: 'MiB', samples: [] },
    sizeLines: { name: `store size at ${size} memories, line file`, unit: 'MiB', samples: [] },
  };
  rows.captureSqlite.peer = rows.captureLines;
  rows.rareSqlite.peer = rows.rareLines;
  rows.commonSqlite.peer = rows.commonLines;
  rows.sizeSqlite.peer = rows.sizeLines;
  try {
    let t0 = performance.now();
    const insert = sqlite.db.prepare('INSERT INTO memories (id, request_id, text, captured_at) VALUES (?, ?, ?, ?)');
    sqlite.db.exec('BEGIN');
    for (let i = 0; i < size; i += 1) insert.run(randomUUID(), null, noteText(i), new Date().toISOString());
    sqlite.db.exec('COMMIT');
    rows.fillSqlite.samples.push((performance.now() - t0) / 1000);
    const text = Array.from({ length: size }, (_, i) => `${JSON.stringify({ id: randomUUID(), text: noteText(i),
      captured_at: new Date().toISOString() })}\n`).join('');
    fs.writeFileSync(lines.file, text);
    const time = async (row, step) => {
      t0 = performance.now();
      await step();
      row.samples.push(performance.now() - t0);
    };
    for (let i = 0; i < count; i += 1) {
      const word = `word${Math.floor((i * 7919) % size)}`;
      await time(rows.captureSqlite, () => sqlite.capture(`a new note ${i}`, randomUUID()));
      await time(rows.captureLines, () => lines.capture(`a new note ${i}`));
      await time(rows.rareSqlite, () => {
        if (sqlite.recall(word).length !== 1) throw new Error(`SQLite recall of ${word}`);
      });
      await time(rows.rareLines, async () => {
        if ((await lines.recall(word)).length !== 1) throw new Error(`line file recall of ${word}`);
      });
      await time(rows.commonSqlite, () => {
        if (sqlite.recall('kettle').length !== RECALL_LIMIT) throw new Error('SQLite recall of kettle');
      });
      await time(rows.commonLines, async () => {
        if ((await lines.recall('kettle')).length !== RECALL_LIMIT) throw new Error('line file recall of kettle');
      });
    }
    const mib = (file) => fs.statSync(file).size / 2 ** 20;
    sqlite.db.exec('PRAGMA wal_checkpoint(TRUNCATE)');
    rows.sizeSqlite.samples.push(mib(path.win32.join(directory, 'memories.db')));
    rows.sizeLines.samples.push(mib(lines.file));
  } finally {
    sqlite.close();
  }
  return Object.values(rows);
}
