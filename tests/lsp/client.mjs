// The client side of the protocol tests: velxref --lsp started as an editor
// starts it, spoken to through the protocol library (connect) or byte by byte
// (raw), every byte it writes to standard error kept for the tests to check.
//
//   VELXREF          the program (default build/debug/velxref)
//   VELXREF_RUNNER   a program to start it through (Wine for velxref.exe)
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import protocol from 'vscode-languageserver-protocol/node.js';

const here = path.dirname(fileURLToPath(import.meta.url));
export const top = path.resolve(here, '../..');
// A copy of the example in a scratch folder of its own: in the source tree
// the server would take the whole repository (the folder that holds .git) for
// its project, build folders and all.
export const examples = fs.mkdtempSync(path.join(os.tmpdir(), 'velxref-example-'));
for (const name of ['BLINK.AVL', 'PORTS.INC']) fs.copyFileSync(path.join(top, 'examples', name), path.join(examples, name));
process.on('exit', () => fs.rmSync(examples, { recursive: true, force: true }));
export const program = process.env.VELXREF ?? path.join(top, 'build/debug/velxref');
export const runner = process.env.VELXREF_RUNNER ?? '';

// Every wait of a test is bounded; Wine starts slowly.
export const WAIT_MS = runner ? 60000 : 10000;

export const uri = (dir, name) => pathToFileURL(path.join(dir, name)).href;
// Wine shows the root of the file system as drive Z:, so there a server may
// name file:///work/A.AVL as file:///Z:/work/A.AVL: the same file.
export const sameFile = (u) => (runner ? u.replace(/^file:\/\/\/Z:\//i, 'file:///') : u);

// A 1-based line and 0-based columns, as the issue and an editor's status
// bar count them, turned into the protocol's range.
export const range = (line, from, to) => ({
  start: { line: line - 1, character: from },
  end: { line: line - 1, character: to },
});
export const pos = (line, character) => ({ line: line - 1, character });

// A scratch workspace holding the given files (name: text or bytes).
export function workspace(files) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'velxref-lsp-'));
  for (const [name, text] of Object.entries(files)) fs.writeFileSync(path.join(dir, name), text);
  return dir;
}

function start(args, cwd) {
  const [cmd, argv] = runner ? [runner, [program, '--lsp', ...args]] : [program, ['--lsp', ...args]];
  const child = spawn(cmd, argv, { cwd, stdio: ['pipe', 'pipe', 'pipe'] });
  const server = { child, stderr: '', exited: null };
  child.stderr.on('data', (d) => { server.stderr += d; });
  server.exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  child.stdin.on('error', () => {}); // a server that ended early shows in its status
  // A server a failed test leaves running never keeps the tests from ending:
  // when they end, its input ends, and so does it.
  for (const handle of [child, child.stdin, child.stdout, child.stderr]) handle.unref();
  return server;
}

export function within(promise, what, ms = WAIT_MS) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`no ${what} within ${ms} ms`)), ms);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

// The server through the protocol library. Diagnostics are kept per document
// as last published; waitDiagnostics resolves once the latest list for the
// document passes the test.
export async function connect({ root, args = [], encodings, folders = true, options } = {}) {
  const server = start(args, root ?? os.tmpdir());
  const conn = protocol.createProtocolConnection(
    new protocol.StreamMessageReader(server.child.stdout),
    new protocol.StreamMessageWriter(server.child.stdin));
  server.conn = conn;
  server.diagnostics = new Map();
  server.messages = [];
  const waiters = new Set();
  conn.onNotification(protocol.PublishDiagnosticsNotification.type, (p) => {
    server.diagnostics.set(p.uri, p.diagnostics);
    for (const w of waiters) w();
  });
  conn.onNotification(protocol.LogMessageNotification.type, (p) => server.messages.push(p));
  conn.onNotification(protocol.ShowMessageNotification.type, (p) => server.messages.push(p));
  server.lensRefreshes = 0;
  conn.onRequest(protocol.CodeLensRefreshRequest.type, () => { server.lensRefreshes++; return null; });
  conn.listen();
  server.waitDiagnostics = (docUri, test = () => true) => within(new Promise((resolve) => {
    const check = () => {
      const list = server.diagnostics.get(docUri);
      if (list && test(list)) { waiters.delete(check); resolve(list); }
    };
    waiters.add(check);
    check();
  }), `diagnostics for ${docUri}`);
  server.request = (type, params) => within(conn.sendRequest(type, params), type.method);
  server.notify = (type, params) => conn.sendNotification(type, params);
  const rootUri = root ? pathToFileURL(root).href : null;
  server.init = await server.request(protocol.InitializeRequest.type, {
    processId: process.pid,
    rootUri,
    workspaceFolders: root && folders ? [{ uri: rootUri, name: path.basename(root) }] : null,
    initializationOptions: options,
    capabilities: {
      general: encodings ? { positionEncodings: encodings } : {},
      textDocument: {
        synchronization: { didSave: true },
        publishDiagnostics: { tagSupport: { valueSet: [1, 2] } },
        rename: { prepareSupport: true },
        hover: { contentFormat: ['markdown', 'plaintext'] },
        documentSymbol: { hierarchicalDocumentSymbolSupport: true },
      },
      workspace: { didChangeWatchedFiles: { dynamicRegistration: false }, workspaceFolders: true, codeLens: { refreshSupport: true } },
    },
  });
  server.notify(protocol.InitializedNotification.type, {});
  server.open = (docUri, text, version = 1) => server.notify(protocol.DidOpenTextDocumentNotification.type,
    { textDocument: { uri: docUri, languageId: 'velxref', version, text } });
  // Ends the server as an editor does; resolves to its exit status.
  server.stop = async () => {
    await server.request(protocol.ShutdownRequest.type, undefined);
    server.notify(protocol.ExitNotification.type, undefined);
    const end = await within(server.exited, 'exit after shutdown');
    conn.dispose();
    return end;
  };
  return server;
}

// The server byte by byte, for the edges of the protocol: send writes a
// message with its header (or any bytes), next waits for the next message
// the server writes that passes the test.
export function raw({ root = os.tmpdir(), args = [] } = {}) {
  const server = start(args, root);
  let buffer = Buffer.alloc(0);
  const inbox = [];
  let wake = () => {};
  server.child.stdout.on('data', (d) => {
    buffer = Buffer.concat([buffer, d]);
    for (;;) {
      const end = buffer.indexOf('\r\n\r\n');
      if (end < 0) break;
      const length = /Content-Length: *(\d+)/i.exec(buffer.subarray(0, end).toString('latin1'));
      if (!length) throw new Error(`a header without Content-Length: ${buffer.subarray(0, end)}`);
      const body = end + 4 + Number(length[1]);
      if (buffer.length < body) break;
      inbox.push(JSON.parse(buffer.subarray(end + 4, body).toString('utf8')));
      buffer = buffer.subarray(body);
    }
    wake();
  });
  server.sendBytes = (bytes) => server.child.stdin.write(bytes);
  server.send = (message) => {
    const body = Buffer.from(JSON.stringify({ jsonrpc: '2.0', ...message }), 'utf8');
    server.sendBytes(Buffer.concat([Buffer.from(`Content-Length: ${body.length}\r\n\r\n`), body]));
  };
  server.next = (test = () => true, what = 'message') => within(new Promise((resolve) => {
    wake = () => {
      const at = inbox.findIndex(test);
      if (at >= 0) { wake = () => {}; resolve(inbox.splice(at, 1)[0]); }
    };
    wake();
  }), what);
  server.response = (id) => server.next((m) => m.id === id && !m.method, `the response to ${id}`);
  server.inbox = inbox;
  server.init = async (id = 1) => {
    server.send({ id, method: 'initialize', params: { processId: null, rootUri: pathToFileURL(root).href, capabilities: {} } });
    const answer = await server.response(id);
    server.send({ method: 'initialized', params: {} });
    return answer;
  };
  server.end = () => within(server.exited, 'the server to end');
  return server;
}

// The resident memory of a process, in KiB, from /proc: now, or at its
// peak so far (peak).
export function rssKiB(pid, peak = false) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number((peak ? /VmHWM:\s*(\d+)/ : /VmRSS:\s*(\d+)/).exec(status)[1]);
}

export { protocol };
