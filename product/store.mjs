// The memories of one home, in an SQLite database under its "state" folder
// ("state\memories.db"), through node:sqlite of the bundled node.exe.
//
// - Durable before "saved": write-ahead log with synchronous FULL, so a
//   capture's transaction is on disk when capture() returns, and a kill at
//   any instant leaves the last committed state (never a torn record).
// - Recall through a full-text index (FTS5) over the memory texts, so its
//   cost follows the matches, not the size of the store.
// - One memory per request id: a capture retried with the id of one whose
//   outcome was uncertain is answered with the memory the first one stored.
// - Bounded: a memory's text and the database's pages; a full store refuses
//   captures with "store_refused" and still recalls.
//
// Refusals are errors whose message is a reason code: "bad_request_shape"
// (text or word out of shape), "request_id_invalid" (an id already used for
// another text), "store_refused" (full), "state_write_failed" (the database
// refused the write).
import fs from 'node:fs';
import path from 'node:path';
import { randomUUID } from 'node:crypto';

// node:sqlite announces itself as experimental once per process; that
// warning is ours to know, not the product's users', so exactly that one is
// dropped while the module loads and every other warning passes.
const emitWarning = process.emitWarning;
process.emitWarning = function dropSqliteNotice(warning, ...rest) {
  const type = typeof rest[0] === 'string' ? rest[0] : rest[0]?.type;
  if (type === 'ExperimentalWarning' && String(warning?.message ?? warning).includes('SQLite')) return;
  return emitWarning.call(this, warning, ...rest);
};
let DatabaseSync;
try {
  ({ DatabaseSync } = await import('node:sqlite'));
} finally {
  process.emitWarning = emitWarning;
}

export const MEMORY_TEXT_LIMIT = 4096;
export const RECALL_LIMIT = 32;
// 256 MiB of pages by default: about 600,000 memories of 300 characters.
export const STORE_BYTES_LIMIT = 256 * 2 ** 20;
const WORD = /^[\p{L}\p{N}_-]{1,64}$/u;
const REQUEST_ID = /^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$/;

export const storeFile = (home) => path.win32.join(home, 'state', 'memories.db');
const oldStoreFile = (home) => path.win32.join(home, 'state', 'memories.jsonl');

// Words are letters, digits, "_" and "-", compared without case: the same
// rule recall's argument follows.
const SCHEMA = `
CREATE TABLE IF NOT EXISTS memories (
  seq INTEGER PRIMARY KEY,
  id TEXT NOT NULL UNIQUE,
  request_id TEXT UNIQUE,
  text TEXT NOT NULL,
  captured_at TEXT NOT NULL
);
CREATE VIRTUAL TABLE IF NOT EXISTS memory_words USING fts5(
  text, content='memories', content_rowid='seq',
  tokenize="unicode61 remove_diacritics 0 tokenchars '_-'"
);
CREATE TRIGGER IF NOT EXISTS memories_indexed AFTER INSERT ON memories BEGIN
  INSERT INTO memory_words(rowid, text) VALUES (new.seq, new.text);
END;`;

function refused(reason) {
  return new Error(reason);
}

export class MemoryStore {
  // `limitBytes` bounds the database file; `file` overrides its place (the
  // benchmark's).
  constructor(home, { limitBytes = STORE_BYTES_LIMIT, file = storeFile(home) } = {}) {
    this.db = new DatabaseSync(file);
    // Another connection (a check from outside) is never waited for on the
    // serving thread: a busy database is a refused request, not a stall.
    this.db.exec('PRAGMA busy_timeout = 0; PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL;');
    this.db.exec(SCHEMA);
    const pageSize = this.db.prepare('PRAGMA page_size').get().page_size;
    this.db.exec(`PRAGMA max_page_count = ${Math.max(16, Math.floor(limitBytes / pageSize))}`);
    this.insert = this.db.prepare(
      'INSERT INTO memories (id, request_id, text, captured_at) VALUES (?, ?, ?, ?)');
    this.byRequest = this.db.prepare('SELECT id, text, captured_at FROM memories WHERE request_id = ?');
    this.search = this.db.prepare(`SELECT m.id, m.text, m.captured_at FROM memory_words w
      JOIN memories m ON m.seq = w.rowid WHERE memory_words MATCH ? ORDER BY w.rowid DESC LIMIT ${RECALL_LIMIT}`);
    if (file === storeFile(home)) this.#adoptFileStore(home);
  }

  // A capture, stored once per request id. Resolves with the memory and
  // whether it was stored now (false: answered from the first capture).
  capture(text, requestId = null) {
    if (typeof text !== 'string' || text.length === 0 || text.length > MEMORY_TEXT_LIMIT) {
      throw refused('bad_request_shape');
    }
    if (requestId !== null && (typeof requestId !== 'string' || !REQUEST_ID.test(requestId))) {
      throw refused('bad_request_shape');
    }
    const first = requestId === null ? undefined : this.byRequest.get(requestId);
    if (first) {
      if (first.text !== text) throw refused('request_id_invalid');
      return { memory: { ...first }, stored: false };
    }
    const memory = { id: randomUUID(), text, captured_at: new Date().toISOString() };
    try {
      this.insert.run(memory.id, requestId, memory.text, memory.captured_at);
    } catch (error) {
      throw refused(/full/i.test(error.message) ? 'store_refused' : 'state_write_failed');
    }
    return { memory, stored: true };
  }

  // The latest memories holding `word` (at most RECALL_LIMIT), oldest first.
  recall(word) {
    if (typeof word !== 'string' || !WORD.test(word)) throw refused('bad_request_shape');
    // A quoted string is one token under the index's own tokenizer.
    return this.search.all(`"${word}"`).reverse().map((row) => ({ ...row }));
  }

  // Rows as stored, for checks from outside: every memory, oldest first.
  all() {
    return this.db.prepare('SELECT id, request_id, text, captured_at FROM memories ORDER BY seq').all()
      .map((row) => ({ ...row }));
  }

  close() {
    this.db.close();
  }

  // A home that kept its memories in the earlier line file: its whole lines
  // are taken over once (a torn last line is what a kill left and is
  // skipped), then the file is renamed so that it is not read again. A kill
  // between the two leaves the rows and the file; the next open takes the
  // file again and the ids keep the rows single.
  #adoptFileStore(home) {
    const old = oldStoreFile(home);
    let text;
    try {
      text = fs.readFileSync(old, 'utf8');
    } catch (error) {
      if (error.code === 'ENOENT') return;
      throw error;
    }
    const adopt = this.db.prepare(
      'INSERT OR IGNORE INTO memories (id, request_id, text, captured_at) VALUES (?, NULL, ?, ?)');
    this.db.exec('BEGIN');
    try {
      for (const line of text.split('\n')) {
        let memory;
        try {
          memory = JSON.parse(line);
        } catch {
          continue;
        }
        if (typeof memory?.id === 'string' && typeof memory.text === 'string') {
          adopt.run(memory.id, memory.text, String(memory.captured_at ?? ''));
        }
      }
      this.db.exec('COMMIT');
    } catch (error) {
      this.db.exec('ROLLBACK');
      throw error;
    }
    fs.renameSync(old, `${old}.adopted`);
  }
}
