// Reads a page written by velxref --html with a real HTML parser and proves
// what it promises, against the listing of the same run and the files it read:
//
//   node check_page.mjs PAGE.html LISTING.VXR WORKDIR
//
// - the page is valid UTF-8, parses without a single parse error, and loads
//   nothing from outside;
// - every link within the page lands on an element that exists;
// - the symbol entries, read from the page, give the body of the listing
//   byte for byte when laid out by the listing's rules;
// - every reference link lands on a line that holds an occurrence of its
//   symbol with its mark, and says the file and line it lands on, in its
//   title and as text; a defined symbol's name links to its first definition;
// - in the source, every definition links to its symbol, every other
//   occurrence of a symbol with one definition to the line of that
//   definition, and of any other symbol to the symbol;
// - every line of every file read (read again from WORKDIR under the
//   text-mode rules) appears once, in order, shown by the byte rules, in
//   blocks of at most 200 lines, each headed by its file's name and a link
//   to the symbols, and no bidirectional control is on the page as itself;
// - the first heading names the source.
//
//   node check_page.mjs --runs DIR
//
// checks every page under every folder of DIR (each the working directory of
// one run, as the end-to-end suite keeps them), with the listing beside it.
// Prints "page ok: ..." and exits 0, or prints every failure and exits 1.
import { readFileSync, existsSync, readdirSync, statSync } from "node:fs";
import { join, dirname, basename } from "node:path";
import { parse } from "parse5";


// ---- bytes as the page shows them ----
const CP437 = "ÇüéâäàåçêëèïîìÄÅÉæÆôöòûùÿÖÜ¢£¥₧ƒáíóúñÑªº¿⌐¬½¼¡«»░▒▓│┤╡╢╖╕╣║╗╝╜╛┐" +
              "└┴┬├─┼╞╟╚╔╩╦╠═╬╧╨╤╥╙╘╒╓╫╪┘┌█▄▌▐▀αßΓπΣσµτΦΘΩδ∞φε∩≡±≥≤⌠⌡÷≈°∙·√ⁿ²■\u00A0";
if ([...CP437].length !== 128) throw new Error("code page table");
// ignoreBOM: a U+FEFF is a character of the text like any other, not a mark to drop.
const strict = new TextDecoder("utf-8", { fatal: true, ignoreBOM: true });

// The character a valid UTF-8 sequence at i stands for, with its length, or null.
function utf8At(bytes, i) {
    const b = bytes[i];
    const len = b >= 0xc2 && b <= 0xdf ? 2 : b >= 0xe0 && b <= 0xef ? 3 : b >= 0xf0 && b <= 0xf4 ? 4 : 0;
    if (len === 0 || i + len > bytes.length) return null;
    let text;
    try { text = strict.decode(bytes.subarray(i, i + len)); } catch { return null; }
    const c = text.codePointAt(0);
    if (c <= 0x9f || (c >= 0xfdd0 && c <= 0xfdef) || (c & 0xfffe) === 0xfffe) return null;
    return [text, len];
}

// The bidirectional controls, which the page shows as their code point "U+202E".
const BIDI = /[\u061C\u200E\u200F\u202A-\u202E\u2066-\u2069]/gu;
const codePoint = (ch) => "U+" + ch.codePointAt(0).toString(16).toUpperCase().padStart(4, "0");

function shown(bytes) {
    let s = "";
    for (let i = 0; i < bytes.length;) {
        const b = bytes[i];
        if (b === 9 || (b >= 0x20 && b < 0x7f)) { s += String.fromCharCode(b); i++; }
        else if (b < 0x20) { s += String.fromCharCode(0x2400 + b); i++; }
        else if (b === 0x7f) { s += "\u2421"; i++; }
        else {
            const u = utf8At(bytes, i);
            if (u) { s += u[0].replace(BIDI, codePoint); i += u[1]; } else { s += CP437[b - 0x80]; i++; }
        }
    }
    return s;
}

// ---- a file read again under the text-mode rules: lines of at most 254 bytes ----
function readLines(bytes) {
    let pos = 0;
    const chunk = () => {
        const out = [];
        let ended = false;
        while (out.length < 255) {
            if (pos >= bytes.length) { ended = true; break; }
            let b = bytes[pos++];
            if (b === 0x1a) { ended = true; break; }
            if (b === 0x0d) {
                if (pos >= bytes.length || bytes[pos] === 0x1a) { if (pos < bytes.length) pos++; ended = true; break; }
                b = bytes[pos++];
            }
            out.push(b);
            if (b === 0x0a) break;
        }
        if (out.length === 0 && ended) return null;
        if (ended) out.push(0x0a);
        return out;
    };
    const lines = [];
    let skipping = false;
    for (let c; (c = chunk()) !== null;) {
        if (c[c.length - 1] === 0x0a) {
            if (skipping) { skipping = false; continue; }
            lines.push({ text: shown(Uint8Array.from(c.slice(0, -1))), cut: false });
        } else {
            if (skipping) continue;
            skipping = true;
            lines.push({ text: shown(Uint8Array.from(c.slice(0, 254))), cut: true });
        }
    }
    return lines;
}

// The failures of one page, at most 40.
export function checkPage(pagePath, listingPath, workdir) {
const failures = [];
const fail = (what) => { if (failures.length < 40) failures.push(what); };
// ---- the tree ----
const raw = readFileSync(pagePath);
let html;
try { html = strict.decode(raw); } catch { fail("the page is not valid UTF-8"); html = raw.toString("latin1"); }
const parseErrors = [];
const doc = parse(html, { onParseError: (e) => parseErrors.push(e) });
for (const e of parseErrors.slice(0, 10)) fail(`parse error ${e.code} at line ${e.startLine} column ${e.startCol}`);
if (html.search(BIDI) >= 0) fail("a bidirectional control is on the page as itself");

const attr = (n, name) => n.attrs?.find((a) => a.name === name)?.value;
const kids = (n) => n.childNodes ?? [];
// Every node under n, n first, in document order; a loop, as a tree may be
// deeper than the stack.
function* walk(n) {
    const pending = [n];
    while (pending.length > 0) {
        const node = pending.pop();
        yield node;
        if (node.content) pending.push(node.content);
        const children = kids(node);
        for (let i = children.length - 1; i >= 0; --i) pending.push(children[i]);
    }
}
const textOf = (n, skip = () => false) => {
    if (n.nodeName === "#text") return n.value;
    if (skip(n)) return "";
    return kids(n).map((c) => textOf(c, skip)).join("");
};
const hasClass = (n, c) => (attr(n, "class") ?? "").split(/\s+/).includes(c);
const all = [...walk(doc)];
const byId = new Map();
for (const n of all) {
    const id = attr(n, "id");
    if (id === undefined) continue;
    if (byId.has(id)) fail(`id ${id} is used twice`);
    byId.set(id, n);
}

// Nothing is loaded from outside, and every link within the page lands.
for (const n of all) {
    if (["script", "link", "img", "iframe", "object", "embed"].includes(n.nodeName)) fail(`the page has a <${n.nodeName}>`);
    if (attr(n, "src") !== undefined) fail("an element loads a src");
    const href = attr(n, "href");
    if (href === undefined) continue;
    if (!href.startsWith("#")) fail(`a link leaves the page: ${href}`);
    else if (!byId.has(decodeURIComponent(href.slice(1)))) fail(`a link has no target: ${href}`);
}

// ---- the source: segments of lines ----
const source = byId.get("source");
const files = [...walk(byId.get("files") ?? doc)].filter((n) => n.nodeName === "tr" && /^f\d+$/.test(attr(n, "id") ?? ""));
const fileName = (row) => textOf(kids(row).find((c) => c.nodeName === "td"));
const fileNumber = (row) => Number(attr(row, "id").slice(1));   // an include that gave no line has no row
const fileRow = new Map(files.map((row) => [fileNumber(row), row]));
const pageLines = [];   // { line, local, file, text, cut, node }
let file = null;
for (const n of source ? walk(source) : []) {
    if (n.nodeName === "h3") {
        const a = [...walk(n)].find((c) => c.nodeName === "a");
        file = a ? Number(attr(a, "href").slice(2)) : null;
    }
    if (n.nodeName === "span" && /^L-?\d+$/.test(attr(n, "id") ?? "")) {
        const gutter = kids(n).find((c) => c.nodeName === "i");
        const [g, l] = gutter ? textOf(gutter).trim().split(/\s+/).map(Number) : [NaN, NaN];
        const text = textOf(n, (c) => c.nodeName === "i" || hasClass(c, "cut"));
        const cut = [...walk(n)].some((c) => hasClass(c, "cut"));
        pageLines.push({ line: Number(attr(n, "id").slice(1)), global: g, local: l, file, text, cut, node: n });
    }
}
pageLines.forEach((p, i) => {
    if (p.line !== i + 1 || p.global !== i + 1) fail(`source line ${i + 1} is shown as ${p.line} (${p.global})`);
});
const lineNode = new Map(pageLines.map((p) => [p.line, p]));

// The source comes in blocks of at most BLOCK_LINES lines, each headed by the
// name of its file with a link back to the symbols.
const BLOCK_LINES = 200;
for (const pre of source ? [...walk(source)].filter((n) => n.nodeName === "pre") : []) {
    const lines = kids(pre).filter((c) => c.nodeName === "span" && /^L-?\d+$/.test(attr(c, "id") ?? ""));
    const where = lines.length > 0 ? attr(lines[0], "id") : "an empty block";
    if (lines.length > BLOCK_LINES) fail(`the block at ${where} holds ${lines.length} lines`);
    const siblings = kids(pre.parentNode).filter((c) => c.nodeName !== "#text");
    const heading = siblings[siblings.indexOf(pre) - 1];
    const links = heading?.nodeName === "h3" ? [...walk(heading)].filter((c) => c.nodeName === "a").map((c) => attr(c, "href")) : [];
    if (!/^#f\d+$/.test(links[0] ?? "") || !links.includes("#symbols")) fail(`the block at ${where} has no heading with its file and the symbols`);
}

// The first heading names the program: the source, then its title if any.
const firstHeading = all.find((n) => /^h[1-6]$/.test(n.nodeName));
if (fileRow.has(1) && !(firstHeading?.nodeName === "h1" && textOf(firstHeading).startsWith(fileName(fileRow.get(1)))))
    fail(`the first heading is ${firstHeading ? `<${firstHeading.nodeName}> ${JSON.stringify(textOf(firstHeading))}` : "missing"}, not the source's name`);

// Every file read, read again, is shown whole and in order.
files.forEach((row) => {
    const name = fileName(row);
    const shownLines = pageLines.filter((p) => p.file === fileNumber(row));
    const asRead = name.replace(/U\+(061C|200[EF]|202[A-E]|206[6-9])/g, (_, hex) => String.fromCodePoint(parseInt(hex, 16)));
    const candidates = [Buffer.from(name, "utf8"), Buffer.from(asRead, "utf8"), Buffer.from([...name].map((ch) => {
        const k = CP437.indexOf(ch);
        const c = ch.codePointAt(0);
        return k >= 0 ? 0x80 + k : c >= 0x2400 && c < 0x2420 ? c - 0x2400 : c === 0x2421 ? 0x7f : c;
    }))];
    // The path as bytes: a string would reach the system in UTF-8, whatever bytes the name had.
    const path = candidates.map((b) => Buffer.concat([Buffer.from(workdir + "/"), b.map((c) => (c === 0x5c ? 0x2f : c))]))
        .find(existsSync);
    if (!path) { fail(`file ${name} cannot be found again`); return; }
    let bytes;
    try {
        bytes = readFileSync(path);
    } catch {
        return;   // a file the run met with a read error: its page lines cannot be held against it
    }
    const actual = readLines(bytes);
    if (actual.length !== shownLines.length) fail(`file ${fileNumber(row)} (${name}): ${actual.length} lines, the page shows ${shownLines.length}`);
    actual.forEach((l, k) => {
        const p = shownLines[k];
        if (!p) return;
        if (p.local !== k + 1) fail(`file ${name} line ${k + 1} is numbered ${p.local}`);
        if (p.text !== l.text || p.cut !== l.cut)
            fail(`file ${name} line ${k + 1}: page ${JSON.stringify(p.text)}${p.cut ? " (cut)" : ""}, file ${JSON.stringify(l.text)}${l.cut ? " (cut)" : ""}`);
    });
});

// ---- symbols ----
// The table first: each row's references, shown as "LINE (GLOBAL MARK)" after
// the name of their file, which heads every run of references in one file.
const entries = [];
const symbolRows = [...walk(byId.get("symbols") ?? doc)].filter((n) => n.nodeName === "tr" && (attr(n, "id") ?? "").startsWith("s-"));
for (const row of symbolRows) {
    const id = attr(row, "id");
    const nameNode = [...walk(row)].find((n) => hasClass(n, "name"));
    const refs = [];
    const counted = new Map();
    let shownFile = null;
    for (const n of kids(row).filter((c) => c.nodeName === "td").flatMap((td) => [...walk(td)])) {
        if (hasClass(n, "file")) shownFile = textOf(n).replace(/:$/, "");
        if (n.nodeName !== "a") continue;
        const m = /^(-?\d+) \((-?\d+)([#&]?)\)$/.exec(textOf(n));
        if (!m || attr(n, "href") !== `#L${m[2]}`) { fail(`reference ${textOf(n)} of ${id} links to ${attr(n, "href")}`); continue; }
        refs.push([Number(m[2]), m[3] || " "]);
        counted.set(m[2] + m[3], (counted.get(m[2] + m[3]) ?? 0) + 1);
        const target = lineNode.get(Number(m[2]));
        if (!target) continue;
        const landed = `${fileName(fileRow.get(target.file))}:${target.local}`;
        if (attr(n, "title") !== landed) fail(`reference ${textOf(n)} of ${id} says ${attr(n, "title")}, lands on ${landed}`);
        if (`${shownFile}:${m[1]}` !== landed) fail(`reference ${textOf(n)} of ${id} shows ${shownFile} line ${m[1]}, lands on ${landed}`);
    }
    const definitions = refs.filter(([, mark]) => mark === "#");
    if (definitions.length > 0 && (nameNode?.nodeName !== "a" || attr(nameNode, "href") !== `#L${definitions[0][0]}`))
        fail(`the name of ${id} links to ${attr(nameNode ?? {}, "href")}, not to its first definition on line ${definitions[0][0]}`);
    if (definitions.length === 0 && nameNode?.nodeName === "a") fail(`the name of ${id} links to ${attr(nameNode, "href")}, yet it is never defined`);
    entries.push({ id, name: nameNode ? textOf(nameNode) : "", refs, counted, definitions: definitions.length });
}
const definitionCount = new Map(entries.map((e) => [e.id, e.definitions]));

// Then the source: a definition links to its symbol's row; any other
// occurrence links to the line of the symbol's definition when there is
// exactly one, else to the row.  Either way it counts for that symbol.
const MARK_OF_CLASS = { d: "#", c: "&" };
const occurrences = new Map();   // symbol id -> "line mark" -> count
for (const p of pageLines) {
    for (const a of walk(p.node)) {
        if (a.nodeName !== "a") continue;
        const href = attr(a, "href").slice(1);
        let id = href;
        if (/^L-?\d+$/.test(href)) {
            const target = lineNode.get(Number(href.slice(1)));
            const definition = target && [...walk(target.node)].find((d) => d.nodeName === "a" && attr(d, "class") === "d" &&
                                                                         textOf(d) === textOf(a));
            if (!definition) { fail(`${textOf(a)} on line ${p.line} links to line ${href.slice(1)}, which does not define it`); continue; }
            id = attr(definition, "href").slice(1);
            if (attr(a, "class") === "d") fail(`the definition ${textOf(a)} on line ${p.line} links to a line, not to its symbol`);
            else if (definitionCount.get(id) !== 1) fail(`${textOf(a)} on line ${p.line} links to a definition of ${id}, which has ${definitionCount.get(id)}`);
        } else if (attr(a, "class") !== "d" && definitionCount.get(id) === 1) {
            fail(`${textOf(a)} on line ${p.line} links to ${id}, not to its one definition`);
        }
        const key = `${p.line}${MARK_OF_CLASS[attr(a, "class")] ?? ""}`;
        if (!occurrences.has(id)) occurrences.set(id, new Map());
        const m = occurrences.get(id);
        m.set(key, (m.get(key) ?? 0) + 1);
    }
}
for (const e of entries) {
    const inSource = occurrences.get(e.id) ?? new Map();
    const same = e.counted.size === inSource.size && [...e.counted].every(([k, v]) => inSource.get(k) === v);
    if (!same) fail(`${e.id}: references ${JSON.stringify([...e.counted])}, occurrences in the source ${JSON.stringify([...inSource])}`);
    occurrences.delete(e.id);
}
for (const id of occurrences.keys()) fail(`the source links to ${id}, which has no entry`);

// The listing's body laid out from the page's entries, against the listing.
const listing = readFileSync(listingPath).toString("latin1").replaceAll("\r\n", "\n");
if (!listing.endsWith("\x1a")) fail("the listing does not end with 0x1A");
// A page opens with a form feed, its header line and an empty line; the
// title in the header may hold a form feed too, never a line feed.
const bodies = [];
const listingLines = listing.slice(0, -1).split("\n");
if (listingLines.at(-1) === "") listingLines.pop();
for (let i = 0; i < listingLines.length; ++i) {
    if (listingLines[i].startsWith("\f")) { bodies.push([]); ++i; }
    else if (bodies.length > 0) bodies.at(-1).push(listingLines[i]);
}
// Folded, not spread: a spread of 200,000 arguments overflows the stack.
const widest = (values, least) => values.reduce((a, b) => Math.max(a, b), least);
const nameWidth = Math.min(32, widest(entries.map((e) => e.name.length + 1), 8));
const numberWidth = widest(entries.flatMap((e) => e.refs.map(([l]) => String(l).length)), 4);
const laidOut = [];
for (const e of entries) {
    const nameField = e.name.slice(0, 32).padEnd(nameWidth).slice(0, 32);
    let line = nameField;
    let column = nameWidth;
    for (const [l, mark] of e.refs) {
        column += numberWidth + 2;
        if (column > 80) {
            laidOut.push(line);
            line = laidOut.length % 55 === 0 ? nameField : " ".repeat(nameWidth);
            column = nameWidth + numberWidth + 2;
        }
        line += " " + String(l).padStart(numberWidth) + mark;
    }
    laidOut.push(line);
}
const listed = bodies.flat();
if (bodies.length !== Math.floor(laidOut.length / 55) + 1) fail(`the listing has ${bodies.length} pages, the entries make ${Math.floor(laidOut.length / 55) + 1}`);
if (listed.length !== laidOut.length) fail(`the listing has ${listed.length} body lines, the page's entries make ${laidOut.length}`);
for (let i = 0; i < Math.max(listed.length, laidOut.length); ++i)
    if (listed[i] !== laidOut[i]) { fail(`body line ${i + 1}: listing ${JSON.stringify(listed[i])}, page ${JSON.stringify(laidOut[i])}`); break; }

return { failures, summary: `${files.length} files, ${pageLines.length} lines, ${entries.length} symbols` };
}

function pagesUnder(dir) {
    const found = [];
    for (const name of readdirSync(dir)) {
        const path = join(dir, name);
        const st = statSync(path, { throwIfNoEntry: false });
        if (st?.isDirectory()) found.push(...pagesUnder(path));
        else if (st?.isFile() && name.endsWith(".html")) found.push(path);
    }
    return found;
}

const args = process.argv.slice(2);
const jobs = [];
if (args[0] === "--runs" && args.length === 2) {
    for (const run of readdirSync(args[1]).sort())
        for (const page of pagesUnder(join(args[1], run)))
            jobs.push([page, join(dirname(page), basename(page, ".html") + ".VXR"), join(args[1], run)]);
} else if (args.length === 3) {
    jobs.push(args);
} else {
    console.error("usage: node check_page.mjs PAGE.html LISTING.VXR WORKDIR | --runs DIR");
    process.exit(2);
}
let failed = 0;
for (const [page, listing, workdir] of jobs) {
    const { failures, summary } = checkPage(page, listing, workdir);
    if (failures.length === 0) {
        if (jobs.length === 1) console.log(`page ok: ${page}: ${summary}`);
        continue;
    }
    ++failed;
    console.log(`page FAILED: ${page}`);
    for (const f of failures) console.log("  " + f);
}
if (jobs.length === 0) { console.log("no page found"); process.exit(1); }
if (jobs.length > 1) console.log(`${jobs.length - failed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
