// The resident's host link over a scripted stand-in for the addon's managed
// child calls: what the host "wrote" is handed out by poll in the chunks
// the script says, and writes complete when the script says.
import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import { HostLink } from '../../product/host_link.mjs';

// poll answers the chunks of `reads` one per call (then nothing); a write
// stays in flight until `completeWrite()`.
function scriptedAddon(reads) {
  const addon = {
    writes: [],
    inFlight: false,
    completed: false,
    poll() {
      const chunk = reads.shift();
      const writeComplete = addon.completed || !addon.inFlight;
      if (addon.completed) {
        addon.completed = false;
        addon.inFlight = false;
      }
      return { stdout: chunk ?? Buffer.alloc(0), stderr: Buffer.alloc(0), write_complete: writeComplete };
    },
    write(id, bytes) {
      addon.writes.push(bytes.toString('utf8'));
      addon.inFlight = true;
      return false;
    },
    completeWrite() {
      addon.completed = true;
    },
  };
  return addon;
}

describe('the host link', () => {
  // A line's bytes cut at every place inside its multi-byte characters.
  const text = 'mémoire ✓ 𝄞';
  const bytes = Buffer.from(`${JSON.stringify({ type: 'request', text })}\n`, 'utf8');
  const cuts = [];
  for (let at = 1; at < bytes.length; at += 1) if ((bytes[at] & 0xc0) === 0x80) cuts.push(at);

  it('keeps a character whose bytes two polls split', async () => {
    assert.ok(cuts.length >= 6);
    for (const at of cuts) {
      const link = new HostLink(scriptedAddon([bytes.subarray(0, at), bytes.subarray(at)]), { id: 1, pid: 2 });
      const message = await link.receive('request');
      link.close();
      assert.equal(message.text, text, `cut at byte ${at}`);
    }
  });

  it('sends the lines queued behind a write in flight together, in order', async () => {
    const addon = scriptedAddon([]);
    const link = new HostLink(addon, { id: 1, pid: 2 });
    link.send({ type: 'phase', n: 1 });
    link.send({ type: 'phase', n: 2 });
    link.send({ type: 'final', n: 3 });
    assert.deepEqual(addon.writes, ['{"type":"phase","n":1}\n']);
    addon.completeWrite();
    while (addon.writes.length < 2) await new Promise((resolve) => setTimeout(resolve, 1));
    link.close();
    assert.deepEqual(addon.writes, ['{"type":"phase","n":1}\n', '{"type":"phase","n":2}\n{"type":"final","n":3}\n']);
  });
});
