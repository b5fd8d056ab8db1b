// velxref --lsp through the protocol library: every capability on the
// example, edits with UTF-16 and UTF-8 positions, diagnostics and scopes in a
// workspace of its own, the protocol's edges, and memory over 1,000 edits.
// Every expected position is worked out by hand from the sources' text.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import {
  examples, uri, range, pos, workspace, connect, raw, rssKiB, within, WAIT_MS, protocol,
} from './client.mjs';

const P = protocol;
const BLINK = uri(examples, 'BLINK.AVL');
const PORTS = uri(examples, 'PORTS.INC');
const blinkText = fs.readFileSync(path.join(examples, 'BLINK.AVL'), 'utf8');

const loc = (docUri, line, from, to) => ({ uri: docUri, range: range(line, from, to) });
// A location (or a location link) as one comparable line of text.
const key = (l) => {
  const r = l.targetSelectionRange ?? l.range;
  return `${l.targetUri ?? l.uri} ${r.start.line}:${r.start.character}-${r.end.line}:${r.end.character}`;
};
const sameLocations = (got, want, what) => assert.deepEqual([got ?? []].flat().map(key).sort(), want.map(key).sort(), what);
const at = (docUri, line, character) => ({ textDocument: { uri: docUri }, position: pos(line, character) });
const hoverText = (h) => {
  const c = h?.contents;
  if (!c) return '';
  if (typeof c === 'string') return c;
  if (Array.isArray(c)) return c.map((x) => (typeof x === 'string' ? x : x.value)).join('\n');
  return c.value;
};
// A rename's edits as "uri line:from-to newText", whichever form it takes.
const editsOf = (edit) => {
  const out = [];
  for (const [u, list] of Object.entries(edit?.changes ?? {})) for (const e of list) out.push(`${key({ uri: u, range: e.range })} ${e.newText}`);
  for (const d of edit?.documentChanges ?? []) for (const e of d.edits) out.push(`${key({ uri: d.textDocument.uri, range: e.range })} ${e.newText}`);
  return out.sort();
};
// A refusal is an error whose message says why (matches because).
const refused = async (promise, because = /./) => {
  try {
    await promise;
  } catch (e) {
    assert.match(e.message, because);
    return true;
  }
  return false;
};

// Occurrences of the example, from its text: BLINK.AVL includes PORTS.INC.
const PUTS = [loc(BLINK, 12, 5, 9), loc(BLINK, 27, 5, 9), loc(BLINK, 36, 0, 4)];
const PORT_OUT = [loc(PORTS, 2, 0, 8), loc(BLINK, 23, 5, 13), loc(BLINK, 36, 10, 18)];
const PUTC = [loc(BLINK, 10, 0, 4), loc(BLINK, 26, 1, 5)];
const CH = [loc(BLINK, 10, 12, 14), loc(BLINK, 11, 6, 8)];
// What each document defines, with the line of its definition.
const DEFINED = {
  [BLINK]: { DELAY: 7, COUNT: 8, PUTC: 10, START: 16, LOOP: 21, WAIT: 31, WAIT1: 32, PUTS: 36 },
  [PORTS]: { PORT_OUT: 2, PORT_IN: 3, PORT_DIR: 4, LED_BIT: 5, KEY_BIT: 6 },
};

describe('the example, every capability', () => {
  let s;
  before(async () => {
    s = await connect({ root: examples });
    s.open(BLINK, blinkText);
    await s.waitDiagnostics(BLINK);
  });
  after(async () => {
    assert.equal((await s.stop()).code, 0);
    assert.equal(s.stderr, '');
  });

  it('announces the capabilities and UTF-16 positions', () => {
    const c = s.init.capabilities;
    const sync = typeof c.textDocumentSync === 'object' ? c.textDocumentSync.change : c.textDocumentSync;
    assert.equal(sync, P.TextDocumentSyncKind.Incremental);
    for (const name of ['definitionProvider', 'referencesProvider', 'documentHighlightProvider', 'hoverProvider',
      'documentSymbolProvider', 'workspaceSymbolProvider', 'completionProvider']) assert.ok(c[name], name);
    assert.equal(c.renameProvider?.prepareProvider, true);
    assert.ok(c.positionEncoding === undefined || c.positionEncoding === 'utf-16');
  });

  it('goes to the definition, in the document and into the include', async () => {
    const rows = [
      ['JSR PUTS', at(BLINK, 27, 6), [PUTS[2]]],
      ['STA PORT_OUT', at(BLINK, 23, 5), [PORT_OUT[0]]],
      ['the macro PUTC', at(BLINK, 26, 2), [PUTC[0]]],
      ['a definition itself, in the include', at(PORTS, 2, 3), [PORT_OUT[0]]],
      ['the parameter CH, defined by its .MACRO line', at(BLINK, 11, 7), [CH[0]]],
      ['the mnemonic JSR', at(BLINK, 27, 2), []],
      ['a comment', at(BLINK, 36, 25), []],
    ];
    for (const [what, params, want] of rows) {
      sameLocations(await s.request(P.DefinitionRequest.type, params), want, what);
    }
  });

  it('finds every reference in every file of the scope', async () => {
    const rows = [
      ['PUTS', at(BLINK, 27, 5), true, PUTS],
      ['PUTS without its definition', at(BLINK, 12, 8), false, PUTS.slice(0, 2)],
      ['PORT_OUT from the include', at(PORTS, 2, 0), true, PORT_OUT],
      ['the macro PUTC, invoked on line 26', at(BLINK, 10, 1), true, PUTC],
      ['the parameter CH', at(BLINK, 10, 13), false, [CH[1]]],
    ];
    for (const [what, params, includeDeclaration, want] of rows) {
      const got = await s.request(P.ReferencesRequest.type, { ...params, context: { includeDeclaration } });
      sameLocations(got, want, what);
    }
  });

  it('highlights within the document, definitions as Write', async () => {
    const { Read, Write } = P.DocumentHighlightKind;
    const rows = [
      [at(BLINK, 36, 2), [[12, 5, 9, Read], [27, 5, 9, Read], [36, 0, 4, Write]]],
      [at(BLINK, 23, 6), [[23, 5, 13, Read], [36, 10, 18, Read]]],
      [at(PORTS, 2, 1), [[2, 0, 8, Write]]],
    ];
    for (const [params, want] of rows) {
      const got = await s.request(P.DocumentHighlightRequest.type, params);
      assert.deepEqual(got.map((h) => `${key({ uri: '', range: h.range })} ${h.kind}`).sort(),
        want.map(([l, a, b, k]) => `${key({ uri: '', range: range(l, a, b) })} ${k}`).sort());
    }
  });

  it('hovers with the definition and the counts', async () => {
    const rows = [
      ['`PUTS`', at(BLINK, 12, 6), 'BLINK.AVL:36', 'PUTS:\tSTA\tPORT_OUT\t;send one character', '1 definition, 2 calls (&), 0 other uses'],
      ['`PORT_OUT`', at(BLINK, 23, 6), 'PORTS.INC:2', 'PORT_OUT\t=\t$00C0', '1 definition, 0 calls (&), 2 other uses'],
      ['`PUTC` (macro)', at(BLINK, 26, 1), 'BLINK.AVL:10', 'PUTC\t.MACRO\tCH', '1 definition, 0 calls (&), 1 other use'],
      ['`CH`', at(BLINK, 11, 6), 'BLINK.AVL:10', 'PUTC\t.MACRO\tCH', '1 definition, 0 calls (&), 1 other use'],
    ];
    for (const [head, params, where, line, counts] of rows) {
      const text = hoverText(await s.request(P.HoverRequest.type, params));
      assert.ok(text.startsWith(`${head}\n\n`), text);
      assert.ok(text.includes(where ? `Defined at \`${where}\`:\n\n\`\`\`\n${line}\n\`\`\`\n` : 'Never defined'), text);
      assert.ok(text.includes(counts), text);
    }
    assert.equal(await s.request(P.HoverRequest.type, at(BLINK, 27, 2)), null, 'the mnemonic JSR');
  });

  it('lists the symbols a document defines, macros and subroutines told apart', async () => {
    const kinds = {};
    for (const doc of [BLINK, PORTS]) {
      const got = await s.request(P.DocumentSymbolRequest.type, { textDocument: { uri: doc } });
      const lines = {};
      for (const sym of got) {
        lines[sym.name] = (sym.range ?? sym.location.range).start.line + 1;
        kinds[sym.name] = sym.kind;
      }
      assert.deepEqual(lines, DEFINED[doc]);
    }
    // Subroutines are the ones called by JSR anywhere: WAIT and PUTS.
    assert.equal(kinds.WAIT, kinds.PUTS);
    const others = ['DELAY', 'COUNT', 'START', 'LOOP', 'WAIT1', ...Object.keys(DEFINED[PORTS])];
    for (const n of others) assert.equal(kinds[n], kinds.DELAY, n);
    assert.equal(new Set([kinds.PUTC, kinds.PUTS, kinds.DELAY]).size, 3);
  });

  it('finds workspace symbols by a part of the name, letter case ignored', async () => {
    const all = { ...DEFINED[BLINK], ...DEFINED[PORTS] };
    const rows = [
      ['port', ['PORT_DIR', 'PORT_IN', 'PORT_OUT']],
      ['Wait', ['WAIT', 'WAIT1']],
      ['_', ['KEY_BIT', 'LED_BIT', 'PORT_DIR', 'PORT_IN', 'PORT_OUT']],
      ['', Object.keys(all)],
      ['CH', []],
    ];
    for (const [query, names] of rows) {
      const got = await s.request(P.WorkspaceSymbolRequest.type, { query });
      assert.deepEqual(got.map((x) => x.name).sort(), [...names].sort(), query);
      for (const x of got) {
        assert.equal(x.location.uri, x.name in DEFINED[PORTS] ? PORTS : BLINK, x.name);
        assert.equal(x.location.range.start.line + 1, all[x.name], x.name);
      }
    }
  });

  it('prepares a rename on a symbol only', async () => {
    const ok = await s.request(P.PrepareRenameRequest.type, at(BLINK, 27, 7));
    assert.deepEqual(ok.range ?? ok, range(27, 5, 9));
    const rows = [['a mnemonic', at(BLINK, 27, 2)], ['a number', at(BLINK, 15, 7)],
      ['a string', at(BLINK, 4, 9)], ['a comment', at(BLINK, 36, 25)], ['a pseudo-instruction', at(BLINK, 10, 7)]];
    for (const [what, params] of rows) assert.ok(await refused(s.request(P.PrepareRenameRequest.type, params), /symbol/), what);
  });

  it('renames in every file of the scope', async () => {
    const rows = [
      [at(BLINK, 27, 5), 'PUTSTR', PUTS],
      [at(BLINK, 23, 5), 'PORT_O', PORT_OUT],
      [at(BLINK, 26, 3), 'PUT_CH', PUTC],
    ];
    for (const [params, newName, where] of rows) {
      const got = await s.request(P.RenameRequest.type, { ...params, newName });
      assert.deepEqual(editsOf(got), where.map((l) => `${key(l)} ${newName}`).sort(), newName);
    }
  });

  it('refuses a rename that would not be one whole new symbol', async () => {
    const notOne = /not one symbol/;
    const keyword = /mnemonic, pseudo-instruction or reserved word/;
    const taken = /already names a symbol/;
    const rows = [['9X', notOne], ['A B', notOne], ['', notOne], ['PUTS;', notOne], ['lda', keyword], ['Jsr', keyword],
      ['macro', keyword], ['Include', keyword], ['x', keyword], ['If', keyword], ['.PAGE', /not one symbol|pseudo-instruction/],
      ['PUTC', taken], ['PORT_IN', taken], ['CH', taken]];
    for (const [newName, because] of rows) {
      assert.ok(await refused(s.request(P.RenameRequest.type, { ...at(BLINK, 27, 5), newName }), because), JSON.stringify(newName));
    }
  });

  it('completes symbols with their definitions, mnemonics and pseudo-instructions', async () => {
    const got = await s.request(P.CompletionRequest.type, at(BLINK, 30, 0));
    const items = Array.isArray(got) ? got : got.items;
    const by = new Map(items.map((i) => [i.label.replace(/^\./, ''), i]));
    for (const [doc, names] of Object.entries(DEFINED)) {
      const file = doc === BLINK ? 'BLINK.AVL' : 'PORTS.INC';
      for (const [name, line] of Object.entries(names)) {
        const item = by.get(name);
        assert.ok(item, name);
        const text = `${item.detail ?? ''} ${hoverText({ contents: item.documentation ?? '' })}`;
        assert.ok(text.includes(`${file}:${line}`), `${name}: ${text}`);
      }
    }
    for (const word of ['ADC', 'JSR', 'WIT', 'BEXT', 'INCLUDE', 'MACRO', 'ZMOD']) assert.ok(by.has(word), word);
    assert.ok(by.has('CH'));
  });

  it('publishes the findings of each file of the scope', async () => {
    // Everything defined is used, the include is found, and CH is the
    // parameter of PUTC, defined by its .MACRO line.
    assert.deepEqual(s.diagnostics.get(BLINK), []);
    assert.deepEqual(s.diagnostics.get(PORTS) ?? [], []);
  });
});

// The edits an editor sends as the user types, in one encoding's units: an
// emoji and an omega into a comment, a rename by hand, a new line with an
// emoji before a symbol, and a lone CR that splits the first line in two.
function typing(enc) {
  const emoji = enc === 'utf-8' ? 4 : 2;
  const change = (line, from, to, text) => ({ range: range(line, from, to), text });
  return {
    steps: [
      [change(7, 15, 15, '😀')],
      [change(7, 15 + emoji, 15 + emoji, 'Ω'), change(7, 0, 5, 'PAUSE')],
      [change(28, 0, 0, "\tLDA\t'😀',PAUSE\n")],
      [change(1, 1, 1, '\r')],
    ],
    // After them, with the lone CR's extra editor line counted.
    pause: [loc(BLINK, 8, 0, 5), loc(BLINK, 29, 6 + emoji + 2, 6 + emoji + 7)],
    puts: [loc(BLINK, 13, 5, 9), loc(BLINK, 28, 5, 9), loc(BLINK, 38, 0, 4)],
    comment: '; 😀Ωouter loop count',
  };
}

describe('incremental edits', () => {
  for (const enc of ['utf-16', 'utf-8']) {
    it(`positions in ${enc} code units`, async () => {
      const s = await connect({ root: examples, encodings: enc === 'utf-8' ? ['utf-8', 'utf-16'] : ['utf-16'] });
      assert.equal(s.init.capabilities.positionEncoding ?? 'utf-16', enc);
      s.open(BLINK, blinkText);
      const t = typing(enc);
      let version = 1;
      for (const contentChanges of t.steps) {
        s.notify(P.DidChangeTextDocumentNotification.type, { textDocument: { uri: BLINK, version: ++version }, contentChanges });
      }
      sameLocations(await s.request(P.ReferencesRequest.type, { ...at(BLINK, 8, 2), context: { includeDeclaration: true } }), t.pause);
      sameLocations(await s.request(P.ReferencesRequest.type, { ...at(BLINK, 28, 6), context: { includeDeclaration: true } }), t.puts);
      const hover = hoverText(await s.request(P.HoverRequest.type, at(BLINK, 29, t.pause[1].range.start.character + 1)));
      assert.ok(hover.includes(t.comment), hover);
      // DELAY, still used on what is now line 33, is no longer defined.
      const diags = await s.waitDiagnostics(BLINK, (l) => l.some((d) => d.range.start.line === 32));
      assert.ok(diags.some((d) => key({ uri: BLINK, range: d.range }) === key(loc(BLINK, 33, 11, 16))
        && d.severity === P.DiagnosticSeverity.Warning));
      assert.equal((await s.stop()).code, 0);
      assert.equal(s.stderr, '');
    });
  }
});

describe('a workspace of several sources', () => {
  // A.AVL and B.AVL both include SHARED.INC; c.Avl is found whatever the case
  // of its extension; NOTE.ASM is read by no main source; R.INC includes
  // itself, its fourth reading one level too deep. Line 6 of A.AVL is
  // 260 characters: SPARE ends at the cut (254), START stands after it.
  const longLine = `\t.BYTE\t${'1,'.repeat(121)}SPARE,START`;
  const files = {
    'A.AVL': `\t.INCLUDE SHARED.INC\n\t.INCLUDE NOPE.INC\nSTART:\tLDA\tSHARED\n\tJSR\tMISSING\nSPARE\t=\t5\n${longLine}\nUNUSED\t=\t0\n`,
    'B.AVL': '\t.INCLUDE SHARED.INC\n\tLDA\tSHARED\n',
    'c.Avl': 'LONE\t=\t1\n\tLDA\tLONE\n',
    'SHARED.INC': 'SHARED\t=\t$10\n',
    'NOTE.ASM': 'HERE:\tNOP\n\tJMP\tHERE\n',
    'R.AVL': '\t.INCLUDE R.INC\n',
    'R.INC': '\t.INCLUDE R.INC\n',
  };
  let dir; let s; let A; let B; let SHARED;
  before(async () => {
    dir = workspace(files);
    [A, B, SHARED] = ['A.AVL', 'B.AVL', 'SHARED.INC'].map((n) => uri(dir, n));
    s = await connect({ root: dir });
  });
  after(async () => {
    assert.equal((await s.stop()).code, 0);
    assert.equal(s.stderr, '');
    fs.rmSync(dir, { recursive: true, force: true });
  });

  it('reports includes, undefined and unused symbols and the cut', async () => {
    const got = await s.waitDiagnostics(A);
    const E = P.DiagnosticSeverity;
    const want = [
      [range(2, 10, 18), E.Error, "Can't open include file NOPE.INC"],
      [range(4, 5, 12), E.Warning, null],
      [range(7, 0, 6), E.Hint, null],
      // START is used only after the cut, where the tool cannot see it.
      [range(3, 0, 5), E.Hint, null],
    ];
    for (const [r, severity, message] of want) {
      const d = got.find((x) => key({ uri: '', range: x.range }) === key({ uri: '', range: r }));
      assert.ok(d, JSON.stringify(r));
      assert.equal(d.severity, severity);
      if (message) assert.equal(d.message, message);
      if (severity === E.Hint) assert.deepEqual(d.tags, [P.DiagnosticTag.Unnecessary]);
    }
    const cut = got.find((x) => x.severity === E.Information);
    assert.deepEqual(cut?.range.start, pos(6, 254));
    assert.equal(got.length, 5, JSON.stringify(got));
    assert.deepEqual(s.diagnostics.get(SHARED) ?? [], []);
  });

  it('reports an include nested too deep once, on the line read four times', async () => {
    const got = await s.waitDiagnostics(uri(dir, 'R.INC'));
    assert.deepEqual(got.map((d) => [d.range, d.severity, d.message]),
      [[range(1, 10, 15), P.DiagnosticSeverity.Error, 'Nesting error R.INC']]);
  });

  it('reports a file read by two main sources once', async () => {
    const got = await s.request(P.ReferencesRequest.type, { ...at(SHARED, 1, 2), context: { includeDeclaration: true } });
    sameLocations(got, [loc(SHARED, 1, 0, 6), loc(A, 3, 11, 17), loc(B, 2, 5, 11)]);
  });

  it('finds main sources by extension in any letter case, and a lone file', async () => {
    const lone = await s.request(P.WorkspaceSymbolRequest.type, { query: 'lone' });
    assert.deepEqual(lone.map((x) => `${x.name} ${key(x.location)}`), [`LONE ${key(loc(uri(dir, 'c.Avl'), 1, 0, 4))}`]);
    const NOTE = uri(dir, 'NOTE.ASM');
    s.open(NOTE, files['NOTE.ASM']);
    sameLocations(await s.request(P.DefinitionRequest.type, at(NOTE, 2, 6)), [loc(NOTE, 1, 0, 4)]);
  });

  it('renames up to the cut, and refuses a name that appears after it', async () => {
    const spare = await s.request(P.RenameRequest.type, { ...at(A, 5, 1), newName: 'EXTRA' });
    assert.deepEqual(editsOf(spare), [`${key(loc(A, 5, 0, 5))} EXTRA`, `${key(loc(A, 6, 249, 254))} EXTRA`].sort());
    assert.ok(await refused(s.request(P.RenameRequest.type, { ...at(A, 3, 1), newName: 'BEGIN' }), /cut/));
  });

  it('reads the editor\'s text while open, the disk once closed', async () => {
    s.open(B, '\t.INCLUDE SHARED.INC\nSHARED2\tLDA\tSHARED\n');
    await s.waitDiagnostics(B, (l) => l.some((d) => d.severity === P.DiagnosticSeverity.Hint));
    s.notify(P.DidCloseTextDocumentNotification.type, { textDocument: { uri: B } });
    const got = await s.request(P.WorkspaceSymbolRequest.type, { query: 'SHARED2' });
    assert.deepEqual(got, []);
    // The hint is gone with the editor's text: an empty list says so.
    await s.waitDiagnostics(B, (l) => l.length === 0);
  });

  it('turns a vanished include into a diagnostic and goes on', async () => {
    fs.rmSync(path.join(dir, 'SHARED.INC'));
    s.notify(P.DidChangeWatchedFilesNotification.type, { changes: [{ uri: SHARED, type: P.FileChangeType.Deleted }] });
    const got = await s.waitDiagnostics(B, (l) => l.some((d) => d.message === "Can't open include file SHARED.INC"));
    assert.deepEqual(got.find((d) => d.severity === P.DiagnosticSeverity.Error).range, range(1, 10, 20));
  });
});

// A tree as real programs keep it, under version control, the editor rooted
// in a subfolder: basic/basic.src reads inc/io.inc (which reads inc/deep.inc
// by the main source's folder) and ed4, a link to ed4.src; mon/mon.asm reads
// lib/../shared.s where lib links to common/sub, so the file is
// common/shared.s; boot.s stands alone. Nothing names a main source.
describe('a real tree, found by the server', () => {
  const zeros = '\tLDA\t#0x00\n'.repeat(150);
  const files = {
    'basic/basic.src': '\t.INCLUDE inc/io.inc\n\t.INCLUDE ed4\nPRINT\t.MACRO\tCH\n\tLDA\t#CH\n\tJSR\tputc\n\t.ENDM\n'
      + 'START:\tJSR\tgetbyt\n1$\tjsr\tgetbyt\n\tPRINT\t65\n\tJMP\tED4GO\n\t.area CODE1 (ABS)\n\tJMP\tSTART\n',
    'basic/inc/io.inc': '\t.INCLUDE inc/deep.inc\ngetbyt:\tLDA\tIOBASE\n\tRTS\n',
    'basic/inc/deep.inc': 'IOBASE\t=\t$C0\nputc:\tSTA\tIOBASE\n\tRTS\n',
    'basic/ed4.src': 'ED4:\tJSR\tgetbyt\n\tRTS\n',
    'mon/mon.asm': '\t.INCLUDE lib/../shared.s\n\tJSR\tSHARED\n',
    'common/shared.s': 'SHARED:\tRTS\n',
    'boot.s': `BOOT:\tJMP\tBOOT\n${zeros}`,
  };
  let dir; let s; const u = (n) => uri(dir, n);
  before(async () => {
    dir = workspace({});
    for (const [name, text] of Object.entries(files)) {
      fs.mkdirSync(path.dirname(path.join(dir, name)), { recursive: true });
      fs.writeFileSync(path.join(dir, name), text);
    }
    fs.mkdirSync(path.join(dir, '.git'));
    fs.mkdirSync(path.join(dir, 'common/sub'));
    fs.symlinkSync('ed4.src', path.join(dir, 'basic/ed4'));
    fs.symlinkSync('../common/sub', path.join(dir, 'mon/lib'));
    s = await connect({ root: path.join(dir, 'basic/inc') });
  });
  after(async () => {
    assert.equal((await s.stop()).code, 0);
    fs.rmSync(dir, { recursive: true, force: true });
  });

  it('analyses an include with its main source, never alone', async () => {
    s.open(u('basic/inc/io.inc'), files['basic/inc/io.inc']);
    // getbyt is called from basic.src and ed4.src; IOBASE is defined in deep.inc.
    assert.deepEqual(await s.waitDiagnostics(u('basic/inc/io.inc')), []);
    sameLocations(await s.request(P.DefinitionRequest.type, at(u('basic/inc/io.inc'), 2, 13)),
      [loc(u('basic/inc/deep.inc'), 1, 0, 6)], 'IOBASE, from the include into its sibling');
    const refs = await s.request(P.ReferencesRequest.type, { ...at(u('basic/inc/io.inc'), 2, 1), context: { includeDeclaration: true } });
    sameLocations(refs, [loc(u('basic/inc/io.inc'), 2, 0, 6), loc(u('basic/basic.src'), 7, 11, 17),
      loc(u('basic/basic.src'), 8, 7, 13), loc(u('basic/ed4.src'), 1, 9, 15)], 'getbyt, each file once');
  });

  it('knows a file by what it is: a link and ".." after a link', async () => {
    // ED4GO is defined nowhere yet: the unsaved text of the real ed4.src defines it.
    const main = u('basic/basic.src');
    s.open(main, files['basic/basic.src']);
    await s.waitDiagnostics(main, (l) => l.some((d) => d.message === 'ED4GO is used but never defined'));
    s.open(u('basic/ed4.src'), `ED4GO:\n${files['basic/ed4.src']}`);
    await s.waitDiagnostics(main, (l) => !l.some((d) => d.message.startsWith('ED4GO')));
    sameLocations(await s.request(P.DefinitionRequest.type, at(main, 10, 6)), [loc(u('basic/ed4.src'), 1, 0, 5)], 'ED4GO');
    // Read as ed4, opened as ed4.src: one file, edited once, under the editor's name.
    assert.deepEqual(editsOf(await s.request(P.RenameRequest.type, { ...at(main, 10, 6), newName: 'ED4RUN' })),
      [`${u('basic/basic.src')} 9:5-9:10 ED4RUN`, `${u('basic/ed4.src')} 0:0-0:5 ED4RUN`]);
    sameLocations(await s.request(P.DefinitionRequest.type, at(u('mon/mon.asm'), 2, 6)),
      [loc(u('common/shared.s'), 1, 0, 6)], 'SHARED, through lib/..');
  });

  it('trusts the listing: parameters, calls after a local label, numbers, lines it does not read', async () => {
    const main = u('basic/basic.src');
    const got = await s.waitDiagnostics(main, (l) => !l.some((d) => d.message.startsWith('ED4GO')));
    assert.deepEqual(got.map((d) => d.message), []);   // neither CH, nor CODE1 and ABS
    sameLocations(await s.request(P.DefinitionRequest.type, at(main, 4, 6)), [loc(main, 3, 13, 15)], 'CH');
    const hover = hoverText(await s.request(P.HoverRequest.type, at(main, 8, 8)));
    assert.ok(hover.includes('3 calls (&), 0 other uses'), hover);
    s.open(u('boot.s'), files['boot.s']);
    assert.deepEqual(await s.waitDiagnostics(u('boot.s')), []);
    assert.equal(await s.request(P.HoverRequest.type, at(u('boot.s'), 2, 8)), null, 'x00 of 0x00');
  });

  it('says at most 100 of a class, then how many more', async () => {
    const flood = u('FLOOD.AVL');
    const text = Array.from({ length: 250 }, (_, i) => `\tLDA\tNONE${i}\n`).join('');
    s.open(flood, text);
    const got = await s.waitDiagnostics(flood, (l) => l.length > 0);
    assert.equal(got.length, 101);
    assert.equal(got[100].message, '150 more symbols used but never defined in this file are not shown');
  });
});

// The first message shown (window/showMessage) that matches re.
const shownMessage = (s, re) => within(new Promise((resolve) => {
  const look = setInterval(() => {
    const m = s.messages.find((x) => re.test(x.message));
    if (m) { clearInterval(look); resolve(m); }
  }, 10);
}), `a message ${re}`);

describe('a project file and the settings', () => {
  let dir;
  before(() => {
    dir = workspace({
      '.velxref': '# the program\nsrc/MAIN\n-iSKIP.INC\n--bogus\n',
      'OTHER.AVL': '\tLDA\tNOWHERE\n',
    });
    fs.mkdirSync(path.join(dir, 'src'));
    fs.writeFileSync(path.join(dir, 'src/MAIN.AVL'), '\t.INCLUDE src/PART.INC\n\t.INCLUDE SKIP.INC\nUNUSED\t=\t1\n');
    fs.writeFileSync(path.join(dir, 'src/PART.INC'), 'PART\t=\t2\n');
  });
  after(() => fs.rmSync(dir, { recursive: true, force: true }));

  it('takes the sources and -i of the project file, and says which line it passed over', async () => {
    const s = await connect({ root: path.join(dir, 'src') });
    const main = uri(dir, 'src/MAIN.AVL');
    s.open(main, fs.readFileSync(path.join(dir, 'src/MAIN.AVL'), 'utf8'));
    const got = await s.waitDiagnostics(main);
    assert.deepEqual(got.map((d) => d.message).sort(), ['UNUSED is defined but never used']);
    assert.match((await shownMessage(s, /--bogus/)).message, /line 4/);
    assert.equal((await s.stop()).code, 0);
    assert.equal(s.messages.filter((m) => /--bogus/.test(m.message)).length, 1);
  });

  it('takes the client\'s settings, each class on or off, a wrong type said once', async () => {
    const s = await connect({ root: dir, options: { mainSources: ['OTHER.AVL'], diagnostics: { undefined: 'no', unused: false }, colour: 1 } });
    const other = uri(dir, 'OTHER.AVL');
    s.open(other, '\tLDA\tNOWHERE\n');
    assert.equal((await s.waitDiagnostics(other)).length, 1);   // "no" is not false: the class stays on
    assert.equal((await shownMessage(s, /diagnostics\.undefined/)).type, P.MessageType.Warning);
    s.notify(P.DidChangeConfigurationNotification.type, { settings: { velxref: { mainSources: ['OTHER.AVL'], diagnostics: { undefined: false } } } });
    await s.waitDiagnostics(other, (l) => l.length === 0);
    assert.equal(s.messages.filter((m) => /diagnostics\.undefined/.test(m.message)).length, 1);
    assert.equal((await s.stop()).code, 0);
  });
});

describe('folds, include links, documentation, macro signatures and calls', () => {
  // MAIN.AVL reads lib/SUB.INC from a subfolder and fails to open NOPE.INC;
  // SEND is a macro of two parameters, invoked after the label GO; LOG, in
  // the include, is called by JSR (a subroutine), GO only jumped to; three
  // comment lines above LOG document it, with the comment on its line.
  const MAIN_TEXT = '; one\n; two\n\t.INCLUDE lib/SUB.INC\n\t.INCLUDE NOPE.INC\nSEND\t.MACRO\tDEST,VALUE\n\tLDA\t#VALUE\n'
    + '\tSTA\tDEST\n\tJSR\tLOG\n\t.ENDM\n; a\n; b\n; c\n; d\nGO:\tSEND\t$C0,1\n\tJSR\tLOG\n\tBRA\tGO\n'
    + `\tLDX\t@17\n\tASL\tA\n\t.BYTE\t${'1,'.repeat(130)}ZZ\n`;   // line 19: 270 characters, cut at 254
  let dir; let s; let e; let MAIN; let SUB;
  before(async () => {
    dir = workspace({ 'MAIN.AVL': MAIN_TEXT });
    fs.mkdirSync(path.join(dir, 'lib'));
    fs.writeFileSync(path.join(dir, 'lib', 'SUB.INC'), '; Writes one byte to the log.\n;-----\n; A: the byte\nLOG:\tNOP\t; keeps A\n\tRTS\n');
    [MAIN, SUB] = [uri(dir, 'MAIN.AVL'), uri(dir, 'lib/SUB.INC')];
    s = await connect({ root: dir });
    await s.waitDiagnostics(MAIN);
    e = await connect({ root: examples });
    e.open(BLINK, blinkText);
    await e.waitDiagnostics(BLINK);
  });
  after(async () => {
    for (const c of [s, e]) {
      assert.equal((await c.stop()).code, 0);
      assert.equal(c.stderr, '');
    }
    fs.rmSync(dir, { recursive: true, force: true });
  });

  it('announces folding ranges, links, signature help, calls, tokens and lenses', () => {
    const c = e.init.capabilities;
    assert.equal(c.callHierarchyProvider, true);
    assert.equal(c.semanticTokensProvider.full, true);
    assert.deepEqual(c.codeLensProvider, { resolveProvider: false });
    assert.equal(c.foldingRangeProvider, true);
    assert.deepEqual(c.documentLinkProvider, { resolveProvider: false });
    assert.ok(c.signatureHelpProvider.triggerCharacters.includes(','));
  });

  it('folds macro bodies, runs of three comment lines and subroutines', async () => {
    const fold = (from, to, kind) => ({ startLine: from - 1, endLine: to - 1, ...(kind ? { kind } : {}) });
    const rows = [
      // The banner (1-3), PUTC's body (10-13), WAIT up to PUTS (31-35), PUTS to .END (36-40).
      [e, BLINK, [fold(1, 3, 'comment'), fold(10, 13), fold(31, 35), fold(36, 40)]],
      [e, PORTS, []],
      // Two comment lines fold not; four do.  GO is jumped to, no subroutine.
      [s, MAIN, [fold(5, 9), fold(10, 13, 'comment')]],
      [s, SUB, [fold(1, 3, 'comment'), fold(4, 5)]],
    ];
    for (const [c, doc, want] of rows) {
      const got = await c.request(P.FoldingRangeRequest.type, { textDocument: { uri: doc } });
      assert.deepEqual(got.map(({ startLine, endLine, kind }) => ({ startLine, endLine, ...(kind ? { kind } : {}) })), want, doc);
    }
  });

  it('links each include name that opened a file, and none that failed', async () => {
    const rows = [
      [e, BLINK, [[range(5, 10, 19), PORTS]]],
      [s, MAIN, [[range(3, 10, 21), SUB]]],
      [s, SUB, []],
    ];
    for (const [c, doc, want] of rows) {
      const got = await c.request(P.DocumentLinkRequest.type, { textDocument: { uri: doc } });
      assert.deepEqual(got.map((l) => [l.range, l.target]), want, doc);
    }
  });

  it('goes from an include name to its file, and hovers with its lines and readers', async () => {
    sameLocations(await e.request(P.DefinitionRequest.type, at(BLINK, 5, 12)), [loc(PORTS, 1, 0, 0)], 'PORTS.INC');
    sameLocations(await s.request(P.DefinitionRequest.type, at(MAIN, 3, 21)), [loc(SUB, 1, 0, 0)], 'lib/SUB.INC, at its end');
    sameLocations(await s.request(P.DefinitionRequest.type, at(MAIN, 4, 12)), [], 'NOPE.INC, never opened');
    assert.equal(hoverText(await e.request(P.HoverRequest.type, at(BLINK, 5, 10))), '**PORTS.INC**, 6 lines\n\nRead by:\n- BLINK.AVL:5');
    assert.equal(hoverText(await s.request(P.HoverRequest.type, at(MAIN, 3, 15))), '**lib/SUB.INC**, 5 lines\n\nRead by:\n- MAIN.AVL:3');
    assert.equal(await s.request(P.HoverRequest.type, at(MAIN, 4, 12)), null, 'NOPE.INC');
  });

  it('hovers with the comments of a definition, and a macro\'s parameters and body', async () => {
    const rows = [
      [s, at(MAIN, 15, 6), '`LOG`\n\nWrites one byte to the log.  \nA: the byte  \nkeeps A\n\nDefined at '],
      [e, at(BLINK, 12, 6), '`PUTS`\n\nsend one character\n\nDefined at '],
      [e, at(BLINK, 26, 1), '`PUTC` (macro)\n\nParameters: `CH`\n\n```\n\tLDA\t#CH\n\tJSR\tPUTS\n\t.ENDM\n```\n\nDefined at '],
      [e, at(BLINK, 25, 14), '`PORT_IN`\n\nDefined at '],   // code above it, no comment on its line
    ];
    for (const [c, params, head] of rows) {
      const text = hoverText(await c.request(P.HoverRequest.type, params));
      assert.ok(text.startsWith(head), text);
    }
  });

  it('prepares the call hierarchy on subroutines, labels and macros only', async () => {
    const item = await e.request(P.CallHierarchyPrepareRequest.type, at(BLINK, 27, 6));
    assert.deepEqual(item.map(({ name, kind, uri: u, selectionRange, detail }) => ({ name, kind, u, selectionRange, detail })),
      [{ name: 'PUTS', kind: P.SymbolKind.Function, u: BLINK, selectionRange: range(36, 0, 4), detail: 'BLINK.AVL:36' }]);
    for (const [what, params] of [['the constant DELAY', at(BLINK, 31, 11)], ['the mnemonic JSR', at(BLINK, 27, 2)]]) {
      assert.equal(await e.request(P.CallHierarchyPrepareRequest.type, params), null, what);
    }
  });

  it('finds the calls to a subroutine and from it, through macros too', async () => {
    // A call as "caller (detail) line:from-to ...", sorted.
    const calls = (list, side) => list.map((c) => `${c[side].name} (${c[side].detail})${c.fromRanges
      .map((r) => ` ${r.start.line + 1}:${r.start.character}-${r.end.character}`).join('')}`).sort();
    const rows = [
      // PUTS: from the body of PUTC (line 12), from LOOP (27), and from LOOP
      // where it invokes PUTC (26).
      [e, at(BLINK, 36, 1), 'incoming', ['LOOP (BLINK.AVL:21) 27:5-9', 'LOOP (BLINK.AVL:21, through macro PUTC) 26:1-5',
        'PUTC (BLINK.AVL:10) 12:5-9']],
      // LOOP runs up to WAIT, the next subroutine: WAIT, PUTS, and PUTS by PUTC.
      [e, at(BLINK, 21, 1), 'outgoing', ['PUTS (BLINK.AVL:36) 27:5-9', 'PUTS (BLINK.AVL:36, through macro PUTC) 26:1-5',
        'WAIT (BLINK.AVL:31) 24:5-9']],
      [e, at(BLINK, 16, 1), 'outgoing', ['PUTS (BLINK.AVL:36) 27:5-9', 'PUTS (BLINK.AVL:36, through macro PUTC) 26:1-5',
        'WAIT (BLINK.AVL:31) 24:5-9']],
      [e, at(BLINK, 10, 1), 'outgoing', ['PUTS (BLINK.AVL:36) 12:5-9']],
      [e, at(BLINK, 31, 1), 'outgoing', []],
      [e, at(BLINK, 31, 1), 'incoming', ['LOOP (BLINK.AVL:21) 24:5-9']],
      // LOG, in the subfolder's include, called from SEND's body, and on lines
      // 14 and 15, which no definition stands above (GO before a macro's name
      // defines nothing: two symbols in a row), so the file calls.
      [s, at(MAIN, 15, 6), 'incoming', ['MAIN.AVL (MAIN.AVL) 15:5-8', 'MAIN.AVL (MAIN.AVL, through macro SEND) 14:4-8',
        'SEND (MAIN.AVL:5) 8:5-8']],
    ];
    for (const [c, params, side, want] of rows) {
      const [item] = await c.request(P.CallHierarchyPrepareRequest.type, params);
      const got = side === 'incoming'
        ? calls(await c.request(P.CallHierarchyIncomingCallsRequest.type, { item }), 'from')
        : calls(await c.request(P.CallHierarchyOutgoingCallsRequest.type, { item }), 'to');
      assert.deepEqual(got, want, `${side} ${item.name}`);
    }
  });

  it('colours each kind of token, up to the cut', async () => {
    // The tokens of the given lines as "line:character length type modifiers".
    const tokens = async (c, doc, lines) => {
      const { tokenTypes, tokenModifiers } = c.init.capabilities.semanticTokensProvider.legend;
      const { data } = await c.request(P.SemanticTokensRequest.type, { textDocument: { uri: doc } });
      const out = [];
      let line = 0; let character = 0;
      for (let i = 0; i < data.length; i += 5) {
        line += data[i];
        character = data[i] === 0 ? character + data[i + 1] : data[i + 1];
        const mods = tokenModifiers.filter((_, b) => data[i + 4] & (1 << b)).join('+');
        if (lines.includes(line + 1)) out.push(`${line + 1}:${character} ${data[i + 2]} ${tokenTypes[data[i + 3]]} ${mods}`.trim());
      }
      return out;
    };
    const D = 'declaration+definition';
    assert.deepEqual(await tokens(e, BLINK, [4, 7, 8, 10, 11, 16, 19, 24, 26, 29, 31, 36]), [
      '4:1 5 macro defaultLibrary', '4:7 12 string',                                   // .PAGE "BLINK demo"
      `7:0 5 variable ${D}+readonly`, '7:8 3 number', '7:13 18 comment',               // DELAY = 200 ; ...
      `8:0 5 variable ${D}+readonly`, '8:6 4 macro defaultLibrary', '8:11 3 number', '8:16 19 comment',
      `10:0 4 macro ${D}`, '10:5 6 macro defaultLibrary', `10:12 2 parameter ${D}`,   // PUTC .MACRO CH
      '11:1 3 keyword defaultLibrary', '11:6 2 parameter',
      `16:0 5 namespace ${D}`, '16:7 3 keyword defaultLibrary',                         // START: SEI
      '19:1 3 keyword defaultLibrary', '19:6 3 number', '19:10 8 variable readonly',  // LDM #$0F,PORT_DIR
      '24:1 3 keyword defaultLibrary', '24:5 4 function',                               // JSR WAIT
      '26:1 4 macro', '26:6 3 string',                                                  // PUTC '*'
      '29:1 3 keyword defaultLibrary', '29:5 4 variable',                               // BRA LOOP: a label where used
      `31:0 4 function ${D}`, '31:6 3 keyword defaultLibrary', '31:11 5 variable readonly',
      `36:0 4 function ${D}`, '36:6 3 keyword defaultLibrary', '36:10 8 variable readonly', '36:19 19 comment',
    ]);
    const generated = await tokens(s, MAIN, [17, 18, 19]);
    assert.deepEqual(generated.slice(0, 5), ['17:1 3 keyword defaultLibrary', '17:5 3 number',   // LDX @17
      '18:1 3 keyword defaultLibrary', '18:5 1 variable defaultLibrary',                           // ASL A
      '19:1 5 macro defaultLibrary']);
    // .BYTE 1,1,...: the numbers at 7, 9, ... 253; nothing past the cut at 254.
    assert.deepEqual(generated.slice(5), Array.from({ length: 124 }, (_, k) => `19:${7 + 2 * k} 1 number`));
  });

  it('gives the signature of a macro invocation, the parameter by the commas', async () => {
    const rows = [
      // Line 26 of the example: "\tPUTC\t'*'".
      [e, at(BLINK, 26, 6), 'PUTC CH', [[5, 7]], 0],
      [e, at(BLINK, 26, 3), null],   // within the name
      [e, at(BLINK, 27, 6), null],   // JSR PUTS: no macro
      [e, at(BLINK, 10, 13), null],  // the .MACRO line itself
      // Line 14: "GO:\tSEND\t$C0,1".
      [s, at(MAIN, 14, 9), 'SEND DEST, VALUE', [[5, 9], [11, 16]], 0],
      [s, at(MAIN, 14, 13), 'SEND DEST, VALUE', [[5, 9], [11, 16]], 1],
    ];
    for (const [c, params, label, parameters, active] of rows) {
      const got = await c.request(P.SignatureHelpRequest.type, params);
      if (label === null) {
        assert.equal(got, null, JSON.stringify(params));
        continue;
      }
      assert.equal(got.signatures[got.activeSignature ?? 0].label, label);
      assert.deepEqual(got.signatures[0].parameters.map((p) => p.label), parameters);
      assert.equal(got.activeParameter, active, JSON.stringify(params));
    }
  });

  it('shows "N calls" over each subroutine once the settings ask for it', async () => {
    const lenses = () => e.request(P.CodeLensRequest.type, { textDocument: { uri: BLINK } });
    assert.deepEqual(await lenses(), [], 'off by default');
    e.notify(P.DidChangeConfigurationNotification.type, { settings: { velxref: { codeLens: true } } });
    const answered = await lenses();
    assert.equal(e.lensRefreshes, 1, 'the client is asked to ask again');
    const got = answered.map((l) => [l.range, l.command.title, l.command.command, l.command.arguments[0],
      l.command.arguments[1], l.command.arguments[2].map(key)]);
    assert.deepEqual(got, [
      [range(31, 0, 4), '1 call', 'editor.action.showReferences', BLINK, pos(31, 0), [key(loc(BLINK, 24, 5, 9))]],
      [range(36, 0, 4), '2 calls', 'editor.action.showReferences', BLINK, pos(36, 0), PUTS.slice(0, 2).map(key)],
    ]);
  });
});

describe('a main source that cannot be read', () => {
  it('is an error on its first line, and the server goes on', async () => {
    const dir = workspace({ 'OK.AVL': 'HERE:\tJMP\tHERE\n' });
    const s = await connect({ root: dir, args: ['GONE', 'OK'] });
    const got = await s.waitDiagnostics(uri(dir, 'GONE.AVL'));
    assert.equal(got.length, 1);
    assert.equal(got[0].severity, P.DiagnosticSeverity.Error);
    assert.equal(got[0].range.start.line, 0);
    const here = await s.request(P.WorkspaceSymbolRequest.type, { query: 'HERE' });
    assert.equal(here.length, 1);
    assert.equal((await s.stop()).code, 0);
    assert.equal(s.stderr, '');
    fs.rmSync(dir, { recursive: true, force: true });
  });
});

describe('the edges of the protocol', () => {
  const hoverParams = { textDocument: { uri: BLINK }, position: { line: 0, character: 0 } };

  it('ends with 0 after shutdown, 1 without, and at the end of its input', async () => {
    const rows = [
      ['shutdown, exit', (s) => { s.send({ id: 9, method: 'shutdown' }); s.send({ method: 'exit' }); }, 0],
      ['exit alone', (s) => s.send({ method: 'exit' }), 1],
      ['end of input', (s) => s.child.stdin.end(), 1],
    ];
    for (const [what, ending, status] of rows) {
      const s = raw({ root: examples });
      await s.init();
      ending(s);
      const end = await s.end();
      assert.deepEqual(end, { code: status, signal: null }, what);
      assert.equal(s.stderr, '', what);
    }
  });

  it('answers errors with their codes and goes on', async () => {
    const s = raw({ root: examples });
    s.send({ id: 1, method: 'textDocument/hover', params: hoverParams });
    assert.equal((await s.response(1)).error?.code, -32002, 'before initialize');
    assert.ok((await s.init(2)).result.capabilities);
    const rows = [
      [{ id: 3, method: 'velxref/nothing', params: {} }, -32601],
      [{ id: 4, method: 'textDocument/definition', params: { textDocument: { uri: 5 }, position: 'here' } }, -32602],
      [{ id: 5, method: 'textDocument/references', params: {} }, -32602],
      [{ id: 7, method: 'initialize', params: { processId: null, rootUri: null, capabilities: {} } }, -32600],
    ];
    for (const [message, code] of rows) {
      s.send(message);
      assert.equal((await s.response(message.id)).error?.code, code, message.method);
    }
    s.send({ method: 'velxref/unknownNotification', params: {} });
    s.send({ method: '$/setTrace', params: { value: 'off' } });
    s.sendBytes('Content-Length: 20\r\n\r\n{"jsonrpc":"2.0","id');
    const parse = await s.next((m) => m.error?.code === -32700, 'a -32700 error');
    assert.equal(parse.id, null);
    s.send({ id: 6, method: 'shutdown' });
    await s.response(6);
    s.send({ id: 8, method: 'textDocument/hover', params: hoverParams });
    assert.equal((await s.response(8)).error?.code, -32600, 'after shutdown');
    // Nothing but the answers asked for: no answer to a notification.
    assert.deepEqual(s.inbox.filter((m) => m.id !== undefined && !m.method), []);
    s.send({ method: 'exit' });
    assert.equal((await s.end()).code, 0);
    assert.equal(s.stderr, '');
  });

  it('accepts $/cancelRequest, known or not', async () => {
    const s = raw({ root: examples });
    await s.init();
    s.send({ method: 'textDocument/didOpen', params: { textDocument: { uri: BLINK, languageId: 'velxref', version: 1, text: blinkText } } });
    s.send({ id: 2, method: 'textDocument/references', params: { ...at(BLINK, 27, 5), context: { includeDeclaration: true } } });
    s.send({ method: '$/cancelRequest', params: { id: 2 } });
    s.send({ method: '$/cancelRequest', params: { id: 77 } });
    const answer = await s.response(2);
    assert.ok(answer.result || answer.error?.code === -32800, JSON.stringify(answer));
    s.send({ id: 3, method: 'shutdown' });
    await s.response(3);
    s.send({ method: 'exit' });
    assert.equal((await s.end()).code, 0);
    assert.equal(s.stderr, '');
  });

  it('never hangs or crashes on broken framing', async () => {
    // Where the server can find the next message it goes on (shutdown and
    // exit then end it with 0); where it cannot, the end of input ends it (1).
    const tooLong = 64 * 1024 * 1024 + 1;
    const rows = [
      ['a header without Content-Length', 'Content-Type: application/vscode-jsonrpc; charset=utf-8\r\n\r\n', 0],
      ['a length past 64 MiB, its body skipped', Buffer.concat([Buffer.from(`Content-Length: ${tooLong}\r\n\r\n`), Buffer.alloc(tooLong, 0x7b)]), 0],
      ['a length past any integer', 'Content-Length: 99999999999999999999999\r\n\r\n{', 1],
      // Ten times the smallest length past the limit: all of it is passed
      // over, so the shutdown and exit inside it are never read.
      ['a length past 64 MiB, its messages inside the body', Buffer.concat([Buffer.from(`Content-Length: ${tooLong * 10}\r\n\r\n`),
        Buffer.alloc(tooLong, 0x20), ...[{ id: 2, method: 'shutdown' }, { method: 'exit' }].map((m) => {
          const body = JSON.stringify({ jsonrpc: '2.0', ...m });
          return Buffer.from(`Content-Length: ${body.length}\r\n\r\n${body}`);
        })]), 1],
      ['a truncated body', 'Content-Length: 100\r\n\r\n{"jsonrpc":"2.0","id":1,"method":"shutdown"', 1],
      ['a header cut short', 'Content-Length: 5', 1],
    ];
    for (const [what, bytes, status] of rows) {
      const s = raw({ root: examples });
      await s.init();
      s.sendBytes(bytes);
      if (status === 0) {
        s.send({ id: 2, method: 'shutdown' });
        await s.response(2);
        s.send({ method: 'exit' });
      } else {
        s.child.stdin.end();
      }
      assert.deepEqual(await s.end(), { code: status, signal: null }, what);
      assert.equal(s.stderr, '', what);
    }
  });
});

describe('a long session', () => {
  it('keeps its memory flat over 1,000 edits', { timeout: 20 * WAIT_MS }, async (t) => {
    const s = await connect({ root: examples });
    s.open(BLINK, blinkText);
    const line = '\tJSR\tPUTS\n';
    let version = 1;
    let warm = 0;
    for (let i = 1; i <= 1000; i++) {
      const contentChanges = i % 2
        ? [{ range: range(28, 0, 0), text: line }]
        : [{ range: { start: pos(28, 0), end: pos(29, 0) }, text: '' }];
      s.notify(P.DidChangeTextDocumentNotification.type, { textDocument: { uri: BLINK, version: ++version }, contentChanges });
      if (i % 100 === 0) {
        const refs = await s.request(P.ReferencesRequest.type, { ...at(BLINK, 27, 5), context: { includeDeclaration: true } });
        assert.equal(refs.length, 3);
        if (i === 200) warm = rssKiB(s.child.pid);
      }
    }
    const last = rssKiB(s.child.pid);
    const grown = last - warm;
    t.diagnostic(`resident memory: ${warm} KiB after 200 edits, ${last} KiB after 1,000`);
    assert.ok(grown < 1024, `resident memory grew by ${grown} KiB from the 200th edit to the 1,000th`);
    assert.equal((await s.stop()).code, 0);
    assert.equal(s.stderr, '');
  });
});


describe('a hostile or careless client', () => {
  it('passes over a request sent as a notification, and registers its watchers once', async () => {
    const other = workspace({ 'ELSE.AVL': 'ELSEWHERE\t=\t1\n\tLDA\tELSEWHERE\n' });
    const s = raw({ root: examples });
    s.send({ id: 1, method: 'initialize', params: { processId: null, rootUri: pathToFileURL(examples).href,
      capabilities: { workspace: { didChangeWatchedFiles: { dynamicRegistration: true } } } } });
    await s.response(1);
    for (let i = 0; i < 3; i++) s.send({ method: 'initialized', params: {} });
    s.send({ method: 'initialize', params: { processId: null, rootUri: pathToFileURL(other).href, capabilities: {} } });
    s.send({ method: 'shutdown' });
    s.send({ id: 2, method: 'workspace/symbol', params: { query: 'E' } });
    const names = (await s.response(2)).result.map((x) => x.name).sort();
    assert.deepEqual(names, ['DELAY', 'KEY_BIT', 'LED_BIT'], 'the root and its analyses as they were');
    const registrations = s.inbox.filter((m) => m.method === 'client/registerCapability');
    assert.equal(registrations.length, 1);
    s.send({ id: registrations[0].id, result: null });
    s.send({ id: 3, method: 'shutdown' });
    assert.ok('result' in (await s.response(3)), 'shutdown, first asked now');
    s.send({ method: 'exit' });
    assert.equal((await s.end()).code, 0);
    assert.equal(s.stderr, '');
    fs.rmSync(other, { recursive: true, force: true });
  });

  it('applies a change notification whole or not at all, and says why not', async () => {
    const dir = workspace({ 'M.AVL': 'FOO\tNOP\n\tJMP\tFOO\n' });
    const M = uri(dir, 'M.AVL');
    const s = await connect({ root: dir });
    s.open(M, 'FOO\tNOP\n\tJMP\tFOO\n');
    s.notify(P.DidChangeTextDocumentNotification.type, { textDocument: { uri: M, version: 2 },
      contentChanges: [{ range: range(1, 0, 0), text: '\n' }, { range: { start: 'here' }, text: 'x' }] });
    // A change that changes nothing has the text analysed as the server holds it.
    s.notify(P.DidChangeTextDocumentNotification.type, { textDocument: { uri: M, version: 3 },
      contentChanges: [{ range: range(2, 0, 0), text: '' }] });
    sameLocations(await s.request(P.DefinitionRequest.type, at(M, 2, 6)), [loc(M, 1, 0, 3)]);
    assert.ok(s.messages.some((m) => /didChange/.test(m.message)), JSON.stringify(s.messages));
    assert.equal((await s.stop()).code, 0);
    fs.rmSync(dir, { recursive: true, force: true });
  });

  it('keeps a file name and a definition\'s text from becoming Markdown', async () => {
    const inc = '![i](j).INC';
    const dir = workspace({ 'M.AVL': `\t.INCLUDE ${inc}\n\tLDA\tFOO\n`, [inc]: 'FOO\t=\t1\t; ``` **x**\n' });
    const M = uri(dir, 'M.AVL');
    const s = await connect({ root: dir });
    const text = hoverText(await s.request(P.HoverRequest.type, at(M, 2, 6)));
    assert.ok(text.includes(`Defined at \`${inc}:1\`:\n\n\`\`\`\`\nFOO\t=\t1\t; \`\`\` **x**\n\`\`\`\`\n`), text);
    assert.equal((await s.stop()).code, 0);
    fs.rmSync(dir, { recursive: true, force: true });
  });

  it('counts a cut UTF-8 sequence in a file on the disk as one character, as editors show it', async () => {
    // E2 82 and F0 9F 98 are sequences cut short: one U+FFFD each.
    const dir = workspace({ 'M.AVL': '\t.INCLUDE X.INC\n',
      'X.INC': Buffer.from('FOO\t=\t1\n\t.BYTE\t"\xE2\x82\xF0\x9F\x98",FOO\n', 'latin1') });
    const X = uri(dir, 'X.INC');
    const s = await connect({ root: dir });
    const got = await s.request(P.ReferencesRequest.type, { ...at(X, 1, 1), context: { includeDeclaration: true } });
    sameLocations(got, [loc(X, 1, 0, 3), loc(X, 2, 12, 15)]);
    assert.equal((await s.stop()).code, 0);
    fs.rmSync(dir, { recursive: true, force: true });
  });

  it('places a symbol past character 65,535 where it stands, and renames only it', async () => {
    // 0x1A ends a line for the reader, not for the editor: FOO starts at 66,000.
    const text = `${' \x1a'.repeat(33000)}FOO\tNOP\n\tJMP\tFOO\n`;
    const dir = workspace({ 'MAIN.AVL': text });
    const MAIN = uri(dir, 'MAIN.AVL');
    const s = await connect({ root: dir });
    sameLocations(await s.request(P.DefinitionRequest.type, at(MAIN, 2, 6)), [loc(MAIN, 1, 66000, 66003)]);
    const edit = await s.request(P.RenameRequest.type, { ...at(MAIN, 2, 6), newName: 'BAR' });
    assert.deepEqual(editsOf(edit), [`${key(loc(MAIN, 1, 66000, 66003))} BAR`, `${key(loc(MAIN, 2, 5, 8))} BAR`].sort());
    assert.equal((await s.stop()).code, 0);
    fs.rmSync(dir, { recursive: true, force: true });
  });

  it('reports the same include failure at the same place once, however often it is read', async () => {
    // R.INC includes itself three times: 27 files at the deepest level fail
    // each of its three lines, 81 failures at three places.
    const dir = workspace({ 'R.AVL': '\t.INCLUDE R.INC\n', 'R.INC': '\t.INCLUDE R.INC\n'.repeat(3) });
    const s = await connect({ root: dir });
    const got = await s.waitDiagnostics(uri(dir, 'R.INC'));
    assert.deepEqual(got.map((d) => [d.range, d.message]),
      [1, 2, 3].map((l) => [range(l, 10, 15), 'Nesting error R.INC']));
    assert.equal((await s.stop()).code, 0);
    fs.rmSync(dir, { recursive: true, force: true });
  });

  it('reads at most 64 MiB of a file that never ends, and answers', { skip: process.platform !== 'linux' && 'no /proc' }, async () => {
    const dir = workspace({ 'M.AVL': '\t.INCLUDE /proc/self/pagemap\nHERE:\tJMP\tHERE\n' });
    const M = uri(dir, 'M.AVL');
    const s = await connect({ root: dir });
    const got = await s.waitDiagnostics(M, (l) => l.length > 0);
    assert.deepEqual(got.map((d) => [d.range, d.message]), [[range(1, 10, 28), "Can't read include file /proc/self/pagemap"]]);
    sameLocations(await s.request(P.DefinitionRequest.type, at(M, 2, 11)), [loc(M, 2, 0, 4)]);
    assert.equal((await s.stop()).code, 0);
    fs.rmSync(dir, { recursive: true, force: true });
  });

  it('refuses a rename that would change what is read of a line at the cut', async () => {
    // Line 3 is 254 characters, ZED its last three; line 5 is cut, QUX past the cut.
    const full = `\t.BYTE\tFOO,${'1,'.repeat(120)}ZED`;
    const cut = `\t.BYTE\tBAR,${'1,'.repeat(125)}QUX`;
    const dir = workspace({ 'C.AVL': `FOO\t=\t1\nZED\t=\t2\n${full}\nBAR\t=\t3\n${cut}\n` });
    const C = uri(dir, 'C.AVL');
    const s = await connect({ root: dir });
    const rename = (line, character, newName) => s.request(P.RenameRequest.type, { ...at(C, line, character), newName });
    assert.ok(await refused(rename(1, 1, 'FOOLONG'), /C\.AVL:3.*254/), 'ZED pushed past the cut');
    assert.ok(await refused(rename(4, 1, 'B'), /C\.AVL:5.*254/), 'more of a cut line read');
    assert.deepEqual(editsOf(await rename(1, 1, 'FOX')), [`${key(loc(C, 1, 0, 3))} FOX`, `${key(loc(C, 3, 7, 10))} FOX`].sort());
    assert.deepEqual(editsOf(await rename(2, 1, 'ZD')), [`${key(loc(C, 2, 0, 3))} ZD`, `${key(loc(C, 3, 251, 254))} ZD`].sort());
    assert.equal((await s.stop()).code, 0);
    fs.rmSync(dir, { recursive: true, force: true });
  });

  it('holds each name after a cut once, however often it stands there', { timeout: 10 * WAIT_MS }, async () => {
    const dir = workspace({ 'L.AVL': `\t.BYTE\t${'FOO,'.repeat(2500000)}\nFOO\t=\t1\n` });
    const L = uri(dir, 'L.AVL');
    const s = await connect({ root: dir });
    await s.waitDiagnostics(L);
    assert.ok(await refused(s.request(P.RenameRequest.type, { ...at(L, 2, 1), newName: 'BAR' }), /cut/));
    const peak = rssKiB(s.child.pid, true);
    assert.ok(peak < 64 * 1024, `a 10 MB line took ${peak} KiB at the peak`);
    assert.equal((await s.stop()).code, 0);
    fs.rmSync(dir, { recursive: true, force: true });
  });

  it('refuses a rename that would change a file outside the project, naming it', async () => {
    const base = workspace({});
    const root = path.join(base, 'root');
    fs.mkdirSync(root);
    fs.mkdirSync(path.join(base, 'outside'));
    fs.writeFileSync(path.join(base, 'outside', 'OUT.INC'), 'FOO\t=\t1\n');
    fs.writeFileSync(path.join(base, 'ABS.INC'), 'BAR\t=\t2\n');
    const main = `\t.INCLUDE ../outside/OUT.INC\n\t.INCLUDE ${path.join(base, 'ABS.INC')}\nHERE:\tLDA\tFOO\n\tLDA\tBAR\n\tJMP\tHERE\n`;
    fs.writeFileSync(path.join(root, 'M.AVL'), main);
    const M = uri(root, 'M.AVL');
    const s = await connect({ root });
    const rename = (line, character, newName) => s.request(P.RenameRequest.type, { ...at(M, line, character), newName });
    assert.ok(await refused(rename(3, 11, 'FOO2'), new RegExp(`outside the project: ${path.join(base, 'outside', 'OUT.INC')}$`)));
    assert.ok(await refused(rename(4, 6, 'BAR2'), new RegExp(`outside the project: ${path.join(base, 'ABS.INC')}$`)));
    assert.deepEqual(editsOf(await rename(3, 1, 'THERE')), [`${key(loc(M, 3, 0, 4))} THERE`, `${key(loc(M, 5, 5, 9))} THERE`].sort());
    assert.equal((await s.stop()).code, 0);
    fs.rmSync(base, { recursive: true, force: true });
  });

  it('knows a file through a link as the system opens it, and reads the editor\'s text of it', async () => {
    // LNK/.. is elsewhere, not the root: the system follows LNK first.
    // LINK.INC is a link to T.INC, which the editor holds with other text.
    const dir = workspace({ 'M.AVL': '\t.INCLUDE LNK/../X.INC\n\t.INCLUDE LINK.INC\n\tLDA\tFOO\n\tLDA\tNEW\n',
      'X.INC': 'boy:\tNOP\n', 'T.INC': 'OLD\t=\t2\n' });
    fs.mkdirSync(path.join(dir, 'elsewhere', 'inner'), { recursive: true });
    fs.writeFileSync(path.join(dir, 'elsewhere', 'X.INC'), 'FOO\t=\t1\n');
    fs.symlinkSync(path.join(dir, 'elsewhere', 'inner'), path.join(dir, 'LNK'));
    fs.symlinkSync('T.INC', path.join(dir, 'LINK.INC'));
    const [M, X, T] = [uri(dir, 'M.AVL'), uri(path.join(dir, 'elsewhere'), 'X.INC'), uri(dir, 'T.INC')];
    const s = await connect({ root: dir });
    const edit = await s.request(P.RenameRequest.type, { ...at(M, 3, 6), newName: 'BAR' });
    assert.deepEqual(editsOf(edit), [`${key(loc(X, 1, 0, 3))} BAR`, `${key(loc(M, 3, 5, 8))} BAR`].sort());
    s.open(T, 'NEW\t=\t3\n');
    sameLocations(await s.request(P.DefinitionRequest.type, at(M, 4, 6)), [loc(T, 1, 0, 3)]);
    assert.equal((await s.stop()).code, 0);
    fs.rmSync(dir, { recursive: true, force: true });
  });

  it('follows a root deleted and made again by its name', async () => {
    const files = { 'M.AVL': '\t.INCLUDE I.INC\n\tLDA\tVAL\n', 'I.INC': 'VAL\t=\t1\n' };
    const dir = workspace(files);
    const [M, I] = [uri(dir, 'M.AVL'), uri(dir, 'I.INC')];
    const s = await connect({ root: dir });
    sameLocations(await s.request(P.DefinitionRequest.type, at(M, 2, 6)), [loc(I, 1, 0, 3)]);
    fs.rmSync(dir, { recursive: true, force: true });
    fs.mkdirSync(dir);
    for (const [name, text] of Object.entries(files)) fs.writeFileSync(path.join(dir, name), text);
    s.notify(P.DidChangeWatchedFilesNotification.type, { changes: [{ uri: M, type: P.FileChangeType.Changed }] });
    sameLocations(await s.request(P.DefinitionRequest.type, at(M, 2, 6)), [loc(I, 1, 0, 3)]);
    assert.equal((await s.stop()).code, 0);
    fs.rmSync(dir, { recursive: true, force: true });
  });

  it('refuses a rename whose edits would no longer cover the name', async () => {
    // I.INC changes on the disk, and no one tells the server.
    const dir = workspace({ 'M.AVL': '\t.INCLUDE I.INC\n\tLDA\tVAL\n', 'I.INC': 'VAL\t=\t1\n' });
    const M = uri(dir, 'M.AVL');
    const s = await connect({ root: dir });
    sameLocations(await s.request(P.DefinitionRequest.type, at(M, 2, 6)), [loc(uri(dir, 'I.INC'), 1, 0, 3)]);
    fs.writeFileSync(path.join(dir, 'I.INC'), '; a comment\nVAL\t=\t1\n');
    assert.ok(await refused(s.request(P.RenameRequest.type, { ...at(M, 2, 6), newName: 'NEW' }), /I\.INC:1 no longer holds VAL/));
    assert.equal((await s.stop()).code, 0);
    fs.rmSync(dir, { recursive: true, force: true });
  });

  it('keeps nothing of a URI a client only mentions', { timeout: 10 * WAIT_MS }, async () => {
    const s = await connect({ root: examples });
    const save = (i) => s.notify(P.DidSaveTextDocumentNotification.type, { textDocument: { uri: uri(examples, `N${i}.INC`) } });
    for (let i = 0; i < 1000; i++) save(i);
    await s.request(P.WorkspaceSymbolRequest.type, { query: 'PUTS' });
    const warm = rssKiB(s.child.pid);
    for (let i = 1000; i < 21000; i++) save(i);
    await s.request(P.WorkspaceSymbolRequest.type, { query: 'PUTS' });
    const grown = rssKiB(s.child.pid) - warm;
    assert.ok(grown < 1024, `20,000 saves of files never met took ${grown} KiB`);
    assert.equal((await s.stop()).code, 0);
  });

  it('writes the symbols and completions of a large source without holding them as values', { timeout: 10 * WAIT_MS }, async (t) => {
    const count = 100000;
    const name = (i) => `S${String(i).padStart(6, '0')}`;
    let text = '';
    for (let i = 0; i < count; i++) text += `${name(i)}\t.EQU\t${name(i)}\n`;
    const dir = workspace({ 'BIG.AVL': text });
    const BIG = uri(dir, 'BIG.AVL');
    const s = await connect({ root: dir });
    await s.request(P.WorkspaceSymbolRequest.type, { query: name(0) });
    const before = rssKiB(s.child.pid, true);
    const symbols = await s.request(P.DocumentSymbolRequest.type, { textDocument: { uri: BIG } });
    assert.equal(symbols.length, count);
    assert.deepEqual(symbols[count - 1].range, range(count, 0, 7));
    const completion = await s.request(P.CompletionRequest.type, at(BIG, 1, 0));
    assert.equal(completion.items.filter((i) => i.label.startsWith('S0')).length, count);
    const grown = rssKiB(s.child.pid, true) - before;
    t.diagnostic(`peak resident memory grew by ${grown} KiB`);
    assert.ok(grown < 40 * 1024, `the answers took ${grown} KiB more at their peak`);
    assert.equal((await s.stop()).code, 0);
    fs.rmSync(dir, { recursive: true, force: true });
  });
});
