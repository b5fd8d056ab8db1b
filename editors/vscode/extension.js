// The velxref extension: the language of Vela Family assembly sources, and a
// client that starts `velxref --lsp` for them.
//
// The server is found by the setting velxref.path, else on the PATH, else in
// the folders the program's install puts it in: VS Code may start with a PATH
// other than the shell's, so "not on the PATH" is no reason to give up.
// The settings go to the server at start (initializationOptions, both at its
// top level and under "velxref") and whenever they change
// (workspace/didChangeConfiguration, under "velxref"); the main sources and
// the -i list also go on its command line, which every velxref reads, so a
// change of them restarts it.
// The server's code lenses ("N calls" over a subroutine, on when the user
// sets velxref.codeLens) run editor.action.showReferences with the document,
// the position and the calls as plain protocol values; VS Code runs that
// command only with its own Uri, Position and Location objects, so the
// middleware converts them on the way in.
"use strict";
const vscode = require("vscode");
const fs = require("fs");
const os = require("os");
const path = require("path");
const { LanguageClient, RevealOutputChannelOn, DidChangeConfigurationNotification } = require("vscode-languageclient/node");

const SECTION = "velxref";
const WINDOWS = process.platform === "win32";
const PROGRAM = WINDOWS ? "velxref.exe" : "velxref";
// Where the Debian package, `cmake --install` under /usr/local and the
// install under the home directory put the program.
const INSTALL_DIRS = WINDOWS ? [] : ["/usr/bin", "/usr/local/bin", path.join(os.homedir(), ".local", "bin")];
// The settings that change the server's command line: a change restarts it.
const RESTART_KEYS = ["path", "mainSources", "exclude"];

let client;
let output;

function isProgram(file) {
  try {
    if (!fs.statSync(file).isFile()) return false;
    if (!WINDOWS) fs.accessSync(file, fs.constants.X_OK);
    return true;
  } catch {
    return false;
  }
}

// The program to start, or undefined with the places that were tried.
function findServer(setting) {
  const tried = [];
  if (setting) {
    let file = setting.replace(/^~(?=$|[\\/])/, os.homedir());
    const folder = vscode.workspace.workspaceFolders?.[0];
    if (!path.isAbsolute(file) && /[\\/]/.test(file) && folder) file = path.join(folder.uri.fsPath, file);
    if (path.isAbsolute(file) || /[\\/]/.test(file)) {
      return isProgram(file) ? { file } : { tried: [file] };
    }
    setting = file;   // a bare name: searched as the default name is
  }
  const name = setting || PROGRAM;
  const dirs = (process.env.PATH || "").split(path.delimiter).filter((d) => d !== "");
  for (const dir of [...dirs, ...INSTALL_DIRS]) {
    const names = WINDOWS && !/\.exe$/i.test(name) ? [name + ".exe", name] : [name];
    for (const n of names) {
      const file = path.join(dir, n);
      tried.push(file);
      if (isProgram(file)) return { file };
    }
  }
  return { tried: [`${name} on the PATH`, ...INSTALL_DIRS.map((d) => path.join(d, name))] };
}

function strings(value) {
  return Array.isArray(value) ? value.filter((v) => typeof v === "string" && v !== "") : [];
}

// The server's settings: those the user has set in the section velxref, and
// only those, so that what is not set leaves the server to its own choice (a
// project file's, say); an empty list counts as not set.
function serverSettings() {
  const config = vscode.workspace.getConfiguration(SECTION);
  const settings = {};
  for (const key of ["mainSources", "exclude", "extensions"]) {
    const list = strings(config.get(key));
    if (list.length > 0) settings[key] = list;
  }
  const set = config.inspect("diagnostics") || {};
  const chosen = Object.assign({}, set.globalValue, set.workspaceValue, set.workspaceFolderValue);
  const diagnostics = {};
  for (const key of ["includeFailures", "undefined", "unused", "cutLines"]) {
    if (typeof chosen[key] === "boolean") diagnostics[key] = chosen[key];
  }
  if (Object.keys(diagnostics).length > 0) settings.diagnostics = diagnostics;
  const lens = config.inspect("codeLens") || {};
  const codeLens = [lens.workspaceFolderValue, lens.workspaceValue, lens.globalValue].find((v) => typeof v === "boolean");
  if (codeLens !== undefined) settings.codeLens = codeLens;
  return settings;
}

const SHOW_REFERENCES = "editor.action.showReferences";

// A lens whose command shows references, with its arguments made VS Code's
// types; any other lens, or one whose arguments are not a document, a
// position and a list of locations, as it came.
function withReferenceTypes(lens, convert) {
  const command = lens && lens.command;
  if (!command || command.command !== SHOW_REFERENCES || !Array.isArray(command.arguments)) return lens;
  const [uri, position, locations] = command.arguments;
  const isPosition = (p) => p && typeof p.line === "number" && typeof p.character === "number";
  const isLocation = (l) => l && typeof l.uri === "string" && l.range && isPosition(l.range.start) && isPosition(l.range.end);
  if (command.arguments.length !== 3 || typeof uri !== "string" || !isPosition(position) ||
      !Array.isArray(locations) || !locations.every(isLocation)) return lens;
  command.arguments = [convert.asUri(uri), convert.asPosition(position), locations.map((l) => convert.asLocation(l))];
  return lens;
}

async function start() {
  const config = vscode.workspace.getConfiguration(SECTION);
  const found = findServer((config.get("path") || "").trim());
  if (!found.file) {
    const message = `velxref: the program ${PROGRAM} was not found (tried ${found.tried.join(", ")}). ` +
      "Install velxref, or set velxref.path to the program.";
    output.appendLine(message);
    vscode.window.showErrorMessage(message, "Open Settings").then((choice) => {
      if (choice) vscode.commands.executeCommand("workbench.action.openSettings", "velxref.path");
    });
    return;
  }
  const settings = serverSettings();
  const args = ["--lsp", ...(settings.mainSources || [])];
  if (settings.exclude) args.push("-i" + settings.exclude.join(","));
  output.appendLine(`velxref: starting ${found.file} ${args.join(" ")}`);
  const folder = vscode.workspace.workspaceFolders?.[0];
  const server = { command: found.file, args, options: folder ? { cwd: folder.uri.fsPath } : {} };
  const started = new LanguageClient("velxref", "velxref", server, {
    documentSelector: [{ language: "vela-asm" }],
    initializationOptions: { ...settings, [SECTION]: settings },
    outputChannel: output,
    revealOutputChannelOn: RevealOutputChannelOn.Never,
    middleware: {
      provideCodeLenses: async (document, token, next) => {
        const lenses = await next(document, token);
        return Array.isArray(lenses) ? lenses.map((lens) => withReferenceTypes(lens, started.protocol2CodeConverter)) : lenses;
      },
      resolveCodeLens: async (lens, token, next) => withReferenceTypes(await next(lens, token), started.protocol2CodeConverter),
    },
  });
  client = started;
  try {
    await client.start();
  } catch (e) {
    output.appendLine(`velxref: ${found.file} did not start: ${e && e.message ? e.message : e}`);
    vscode.window.showErrorMessage(`velxref: ${found.file} --lsp did not start (see the output "velxref").`);
  }
}

async function stop() {
  const running = client;
  client = undefined;
  if (running) {
    try {
      await running.stop();
    } catch {
      // a server that already ended has nothing more to say
    }
  }
}

exports.activate = async function activate(context) {
  output = vscode.window.createOutputChannel("velxref");
  context.subscriptions.push(output);
  context.subscriptions.push(vscode.workspace.onDidChangeConfiguration(async (event) => {
    if (RESTART_KEYS.some((key) => event.affectsConfiguration(`${SECTION}.${key}`))) {
      await stop();
      await start();
    } else if (event.affectsConfiguration(SECTION) && client && client.isRunning()) {
      await client.sendNotification(DidChangeConfigurationNotification.type, { settings: { [SECTION]: serverSettings() } });
    }
  }));
  context.subscriptions.push(vscode.commands.registerCommand("velxref.restart", async () => {
    await stop();
    await start();
  }));
  await start();
};

exports.deactivate = stop;
