// Every npm package the tests and the VS Code extension install must run on
// Debian 12's Node.js: each package in each committed package-lock.json under
// tests/ and editors/ declares an engines.node range that admits 18.19.0, or
// declares none.  The one exception is a lock file pinned for another Node.js
// major version (code-server, whose releases each run on one major only):
// its own project declares an engines.node that does not admit 18.19.0, and
// its packages are held against the lowest version that range admits.
//
//   node tests/engines_check.mjs [LOCK_FILE...]   (default: every lock file under tests/ and editors/)
//
// Prints "engines ok: ..." per lock file and exits 0, or names every package
// that does not admit that version, or whose range it cannot read, and exits 1.
// Runs on whatever Node.js the machine has and needs no package itself.
import { readFileSync, readdirSync, existsSync } from "node:fs";
import { dirname, join, relative, resolve } from "node:path";
import { fileURLToPath } from "node:url";

export const TARGET = "18.19.0";

// ---- npm's version ranges (node-semver), enough for engines.node ----
// A range is alternatives joined by "||"; each is a hyphen range "A - B" or
// comparators joined by blanks, each an operator (<, <=, >, >=, =, ^, ~, or
// none) before a version whose missing or x parts are wildcards.  A range
// this does not read gives null, so a typo never passes as "admits".

const PART = String.raw`(?:0|[1-9]\d*|[xX*])`;
const VERSION = new RegExp(String.raw`^v?(${PART})(?:\.(${PART})(?:\.(${PART})(?:-[0-9A-Za-z.-]+)?(?:\+[0-9A-Za-z.-]+)?)?)?$`);

// [major, minor, patch] with null for a wildcard part (and every part after it).
function parseVersion(text) {
    const m = VERSION.exec(text);
    if (!m) return null;
    const parts = [m[1], m[2], m[3]].map((p) => (p === undefined || /^[xX*]$/.test(p) ? null : Number(p)));
    for (let i = 1; i < 3; i++) if (parts[i - 1] === null) parts[i] = null;
    return parts;
}

function compare(a, b) {
    for (let i = 0; i < 3; i++) if (a[i] !== b[i]) return a[i] < b[i] ? -1 : 1;
    return 0;
}

// The versions a partial version stands for: [low, high) with high null for no bound.
function span(v) {
    if (v[0] === null) return [[0, 0, 0], null];
    if (v[1] === null) return [[v[0], 0, 0], [v[0] + 1, 0, 0]];
    if (v[2] === null) return [[v[0], v[1], 0], [v[0], v[1] + 1, 0]];
    return [v, [v[0], v[1], v[2] + 1]];
}

// Does version t (three numbers) satisfy one comparator?
function comparatorHolds(op, v, t) {
    const [low, high] = span(v);
    const below = (bound) => bound === null || compare(t, bound) < 0;
    switch (op) {
    case "": case "=": return compare(t, low) >= 0 && below(high);
    case ">=": return compare(t, low) >= 0;
    case ">": return high !== null && compare(t, high) >= 0;
    case "<": return v[0] !== null && compare(t, low) < 0;
    case "<=": return below(high);
    case "~": return compare(t, low) >= 0 && below(v[1] === null ? high : [v[0], v[1] + 1, 0]);
    case "^": {
        // up to the next change of the first part that is not zero
        let top;
        if (v[0] === null) top = null;
        else if (v[0] > 0 || v[1] === null) top = [v[0] + 1, 0, 0];
        else if (v[1] > 0 || v[2] === null) top = [0, v[1] + 1, 0];
        else top = [0, 0, v[2] + 1];
        return compare(t, low) >= 0 && below(top);
    }
    }
    return false;
}

// true or false, or null when the range cannot be read.
export function admits(range, version = TARGET) {
    const t = parseVersion(version);
    let any = false;
    for (const alternative of range.split("||")) {
        const text = alternative.trim();
        let holds = true;
        const hyphen = /^(\S+)\s+-\s+(\S+)$/.exec(text);
        if (hyphen) {
            const from = parseVersion(hyphen[1]), to = parseVersion(hyphen[2]);
            if (!from || !to) return null;
            holds = comparatorHolds(">=", from, t) && comparatorHolds("<=", to, t);
        } else if (text !== "") {
            // an operator may stand apart from its version (">= 18")
            for (const comparator of text.replace(/(<=|>=|[<>=~^])\s+/g, "$1").split(/\s+/)) {
                const m = /^(<=|>=|<|>|=|~>|~|\^)?(.*)$/.exec(comparator);
                const v = parseVersion(m[2]);
                if (!v) return null;
                holds = comparatorHolds(m[1] === "~>" ? "~" : m[1] ?? "", v, t) && holds;
            }
        }
        any = any || holds;
    }
    return any;
}

// The lowest version a range admits, among the bounds it names; null when none.
export function lowestAdmitted(range) {
    const found = [];
    for (const text of range.match(/v?\d+(?:\.\d+){0,2}/g) ?? []) {
        const v = parseVersion(text);
        const [low, high] = span(v);
        for (const c of [low, high]) if (c && admits(range, c.join(".")) === true) found.push(c);
    }
    found.sort(compare);
    return found.length > 0 ? found[0].join(".") : null;
}

// The version a lock file's packages must admit: 18.19.0, or for a project
// pinned for a later Node.js, the lowest version its own engines.node admits.
export function lockTarget(lock) {
    const own = lock.packages?.[""]?.engines?.node;
    if (typeof own !== "string" || admits(own) !== false) return TARGET;
    return lowestAdmitted(own);
}

// The failures in one lock file, as lines naming each package.
export function lockFailures(lock) {
    if (!lock.packages) return [`lockfileVersion ${lock.lockfileVersion}: no "packages" to check (npm 7 or later writes them)`];
    const target = lockTarget(lock);
    if (target === null) return [`the project's engines.node ${JSON.stringify(lock.packages[""].engines.node)} cannot be read`];
    const failures = [];
    for (const [path, pkg] of Object.entries(lock.packages)) {
        const range = pkg.engines?.node;
        if (range === undefined) continue;
        const name = path === "" ? (lock.name ?? "(the project)") : path.replace(/^.*node_modules\//, "");
        const ok = typeof range === "string" ? admits(range, target) : null;
        if (ok === null) failures.push(`${name}@${pkg.version}: engines.node ${JSON.stringify(range)} cannot be read`);
        else if (!ok) failures.push(`${name}@${pkg.version}: engines.node "${range}" does not admit Node.js ${target}`);
    }
    return failures;
}

// Every package-lock.json under a folder, node_modules left out.
function lockFiles(folder) {
    if (!existsSync(folder)) return [];
    const found = [];
    for (const entry of readdirSync(folder, { withFileTypes: true })) {
        const path = join(folder, entry.name);
        if (entry.isDirectory() && entry.name !== "node_modules") found.push(...lockFiles(path));
        else if (entry.isFile() && entry.name === "package-lock.json") found.push(path);
    }
    return found;
}

function main(args) {
    const top = resolve(dirname(fileURLToPath(import.meta.url)), "..");
    const files = args.length > 0 ? args.map((f) => resolve(f))
        : [...lockFiles(join(top, "tests")), ...lockFiles(join(top, "editors"))].sort();
    let failed = false;
    for (const file of files) {
        const shown = relative(top, file);
        let lock;
        try {
            lock = JSON.parse(readFileSync(file, "utf8"));
        } catch (e) {
            console.log(`${shown}: ${e.message}`);
            failed = true;
            continue;
        }
        const failures = lockFailures(lock);
        for (const f of failures) console.log(`${shown}: ${f}`);
        if (failures.length === 0) {
            const target = lockTarget(lock);
            console.log(`engines ok: ${shown}: ${Object.keys(lock.packages).length - 1} packages admit Node.js ${target}` +
                (target === TARGET ? "" : ` (pinned for that version by its own engines.node)`));
        }
        failed = failed || failures.length > 0;
    }
    if (files.length === 0) console.log("engines ok: no lock file under tests/ or editors/");
    return failed ? 1 : 0;
}

if (process.argv[1] && resolve(process.argv[1]) === fileURLToPath(import.meta.url)) {
    process.exitCode = main(process.argv.slice(2));
}
