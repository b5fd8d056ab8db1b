// One round trip of an editor's session on the example: initialize, go to a
// definition in the include, rename, shutdown. Run natively and, with
// VELXREF_RUNNER set to Wine, against velxref.exe.
import { it } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { examples, uri, sameFile, range, pos, connect, protocol as P } from './client.mjs';

it('initialize, definition into the include, rename, shutdown', async () => {
  const BLINK = uri(examples, 'BLINK.AVL');
  const s = await connect({ root: examples });
  s.open(BLINK, fs.readFileSync(path.join(examples, 'BLINK.AVL'), 'utf8'));
  const def = await s.request(P.DefinitionRequest.type, { textDocument: { uri: BLINK }, position: pos(23, 5) });
  assert.deepEqual([def].flat().map((l) => ({ uri: sameFile(l.uri), range: l.range })),
    [{ uri: uri(examples, 'PORTS.INC'), range: range(2, 0, 8) }]);
  const edit = await s.request(P.RenameRequest.type, { textDocument: { uri: BLINK }, position: pos(27, 5), newName: 'PUTSTR' });
  const changes = Object.fromEntries((edit.documentChanges ?? Object.entries(edit.changes).map(([u, edits]) => ({ textDocument: { uri: u }, edits })))
    .map((d) => [sameFile(d.textDocument.uri), d.edits]));
  assert.deepEqual(Object.keys(changes), [BLINK]);
  assert.deepEqual(changes[BLINK].map((e) => `${e.range.start.line + 1}:${e.range.start.character} ${e.newText}`).sort(),
    ['12:5 PUTSTR', '27:5 PUTSTR', '36:0 PUTSTR']);
  assert.equal((await s.stop()).code, 0);
  assert.equal(s.stderr, '');
});
