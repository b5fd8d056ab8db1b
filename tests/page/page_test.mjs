// The example's page: what was worked out by hand, the checker, and a real
// browser (Debian's chromium, headless, driven by playwright-core) following
// a reference and a use to its definition, reading contrast, landmarks and
// headings, and printing.  VELXREF names the binary; the screenshot after
// the jump goes to SCREENSHOT (default build/page/BLINK.png).
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { execFileSync, spawnSync } from "node:child_process";
import { cpSync, mkdtempSync, mkdirSync, readFileSync, rmSync, symlinkSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";
import { parse } from "parse5";

const here = dirname(fileURLToPath(import.meta.url));
const top = resolve(here, "../..");
const velxref = resolve(process.env.VELXREF ?? join(top, "build/debug/velxref"));
const screenshot = resolve(process.env.SCREENSHOT ?? join(top, "build/page/BLINK.png"));

const work = mkdtempSync(join(tmpdir(), "velxref-page-"));
cpSync(join(top, "examples"), work, { recursive: true });
const run = spawnSync(velxref, ["--html", "BLINK"], { cwd: work });
const page = join(work, "BLINK.html");
process.on("exit", () => rmSync(work, { recursive: true, force: true }));

test("the example writes its page and the same listing", () => {
    assert.equal(run.status, 0);
    assert.deepEqual(readFileSync(join(work, "BLINK.VXR")), readFileSync(join(top, "tests/golden/BLINK.VXR")));
    const out = execFileSync("node", [join(here, "check_page.mjs"), page, join(work, "BLINK.VXR"), work]).toString();
    assert.match(out, /^page ok: .*: 2 files, 46 lines, 14 symbols\n$/);
});

test("PUTS: its name leads to line 36, its references say BLINK.AVL 12, 27 and 36", () => {
    const nodes = [];
    const walk = (n) => { nodes.push(n); (n.childNodes ?? []).forEach(walk); };
    walk(parse(readFileSync(page, "utf8")));
    const attr = (n, a) => n.attrs?.find((x) => x.name === a)?.value;
    const text = (n) => (n.nodeName === "#text" ? n.value : (n.childNodes ?? []).map(text).join(""));
    const row = nodes.find((n) => attr(n, "id") === "s-PUTS");
    const links = [];
    const collect = (n) => { if (n.nodeName === "a") links.push(n); (n.childNodes ?? []).forEach(collect); };
    collect(row);
    const shown = links.map((a) => [text(a), attr(a, "href"), attr(a, "title")]);
    assert.deepEqual(shown, [["PUTS", "#L42", undefined], ["12 (18&)", "#L18", "BLINK.AVL:12"],
                             ["27 (33&)", "#L33", "BLINK.AVL:27"], ["36 (42#)", "#L42", "BLINK.AVL:36"]]);
    assert.equal(text(row.childNodes[1]), "BLINK.AVL: 12 (18&) 27 (33&) 36 (42#) ");
    const portOut = nodes.find((n) => attr(n, "id") === "s-PORT_OUT");
    assert.equal(text(portOut.childNodes[1]), "PORTS.INC: 2 (7#) BLINK.AVL: 23 (29) 36 (42) ");
});

test("the checker takes pages it once failed on", () => {
    const cases = {
        BOM: "A: LDA A ;\uFEFF\n",                                  // its decoder dropped a U+FEFF
        FF: '\t.PAGE\t"ONE\fTWO"\nA: LDA A\n',                     // a form feed in the title made two pages
        MANY: ("\t.WORD\t" + Array(100).fill("B").join(",") + "\n").repeat(2000),   // 200,000 references
    };
    const dir = mkdtempSync(join(tmpdir(), "velxref-checker-"));
    try {
        for (const [name, text] of Object.entries(cases)) {
            writeFileSync(join(dir, name + ".AVL"), text);
            assert.equal(spawnSync(velxref, ["--html", name], { cwd: dir }).status, 0);
            const checked = spawnSync("node", [join(here, "check_page.mjs"), join(dir, name + ".html"),
                                               join(dir, name + ".VXR"), dir]);
            assert.equal(checked.status, 0, `${name}: ${checked.stdout}${checked.stderr}`);
        }
    } finally {
        rmSync(dir, { recursive: true, force: true });
    }
});

test("the checker fails a page that breaks a promise", () => {
    const checkFails = (dir, name, html, expected) => {
        writeFileSync(join(dir, "broken.html"), html);
        const checked = spawnSync("node", [join(here, "check_page.mjs"), join(dir, "broken.html"), join(dir, name + ".VXR"), dir]);
        assert.equal(checked.status, 1, `${expected}: ${checked.stdout}`);
        assert.match(checked.stdout.toString(), expected);
    };
    const blink = readFileSync(page, "utf8");
    const cases = [
        ["JSR\t<a href=#L42 class=c>PUTS</a>", "JSR\t<a href=#s-PUTS class=c>PUTS</a>", /PUTS on line 18 links to s-PUTS, not to its one definition/],
        ['title="BLINK.AVL:27">27 ', 'title="BLINK.AVL:27">28 ', /shows BLINK.AVL line 28, lands on BLINK.AVL:27/],
        ['<a class="name" href="#L42">PUTS', '<a class="name" href="#L18">PUTS', /the name of s-PUTS links to #L18, not to its first definition on line 42/],
        ['<h3><a href="#f2">PORTS.INC</a>, lines 1–6', '<h4><a href="#f2">PORTS.INC</a>, lines 1–6', /the block at L6 has no heading/],
    ];
    for (const [from, to, expected] of cases) {
        assert.ok(blink.includes(from), from);
        checkFails(work, "BLINK", blink.replace(from, to), expected);
    }
    // Two blocks of a 250-line program made one.
    const dir = mkdtempSync(join(tmpdir(), "velxref-checker-"));
    try {
        writeFileSync(join(dir, "LONG.AVL"), "\tNOP\n".repeat(250));
        assert.equal(spawnSync(velxref, ["--html", "LONG"], { cwd: dir }).status, 0);
        const joined = readFileSync(join(dir, "LONG.html"), "utf8").replace(/<\/pre>\s*<\/div>\s*<div class="blk">\s*<h3>.*?<\/h3>\s*<pre[^>]*>/s, "");
        checkFails(dir, "LONG", joined, /the block at L1 holds 250 lines/);
    } finally {
        rmSync(dir, { recursive: true, force: true });
    }
});

test("bidirectional controls are shown as code points, never as themselves", () => {
    // An include named U+202E "CNI.EVIL" would show as LIVE.INC, and the
    // comment's U+2067 would turn the rest of its line round.
    const dir = mkdtempSync(join(tmpdir(), "velxref-bidi-"));
    try {
        writeFileSync(join(dir, "\u202ECNI.EVIL"), "B: RTS ;\u2067 ,A\n");
        writeFileSync(join(dir, "T.AVL"), "\t.INCLUDE \u202ECNI.EVIL\nA: JSR B ;\u061C\u200F\n");
        assert.equal(spawnSync(velxref, ["--html", "T"], { cwd: dir }).status, 0);
        const checked = spawnSync("node", [join(here, "check_page.mjs"), join(dir, "T.html"), join(dir, "T.VXR"), dir]);
        assert.equal(checked.status, 0, `${checked.stdout}${checked.stderr}`);
        assert.match(readFileSync(join(dir, "T.html"), "utf8"), /<span class=bidi>U\+202E<\/span>CNI\.EVIL<\/a>/);
    } finally {
        rmSync(dir, { recursive: true, force: true });
    }
});

test("an include that failed while read is among the includes not read", () => {
    // /proc/self/mem opens as a regular file whose first read fails.
    const dir = mkdtempSync(join(tmpdir(), "velxref-failed-"));
    try {
        symlinkSync("/proc/self/mem", join(dir, "X.INC"));
        writeFileSync(join(dir, "Y.INC"), "B: RTS\n");
        writeFileSync(join(dir, "P.AVL"), "\t.INCLUDE X.INC\n\t.INCLUDE Y.INC\n");
        assert.equal(spawnSync(velxref, ["--html", "P"], { cwd: dir }).status, 1);
        const under = (n) => [n, ...(n.childNodes ?? []).flatMap(under)];
        const text = (n) => (n.nodeName === "#text" ? n.value : (n.childNodes ?? []).map(text).join(""));
        const files = under(parse(readFileSync(join(dir, "P.html"), "utf8")))
            .find((n) => n.attrs?.some((a) => a.name === "id" && a.value === "files"));
        const [read, notRead] = under(files).filter((n) => n.nodeName === "table").map((table) =>
            under(table).filter((n) => n.nodeName === "tr").map((r) => r.childNodes.filter((c) => c.nodeName === "td").map(text))
                .filter((cells) => cells.length > 0));
        assert.deepEqual(read.map(([name]) => name), ["P.AVL", "Y.INC"]);
        assert.deepEqual(notRead, [["X.INC", "1", "could not be read"]]);
    } finally {
        rmSync(dir, { recursive: true, force: true });
    }
});

// One browser for the tests below: Debian's chromium, headless, fresh profile.
let browser;
before(async () => {
    const { chromium } = await import("playwright-core");
    browser = await chromium.launch({
        executablePath: "/usr/bin/chromium",
        args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
               "--disable-component-update", "--disable-sync"],
    });
});
after(() => browser?.close());

// A tab on file, with every console error, script error and request that
// leaves the file system collected in problems.
async function open(file, viewport) {
    const tab = await browser.newPage({ viewport });
    tab.problems = [];
    tab.on("console", (m) => { if (m.type() === "error") tab.problems.push(m.text()); });
    tab.on("pageerror", (e) => tab.problems.push(String(e)));
    tab.on("request", (r) => { if (!r.url().startsWith("file:")) tab.problems.push(`request ${r.url()}`); });
    await tab.goto(pathToFileURL(file).href);
    return tab;
}

// What the reader sees of the target: its line, whether it is in view and
// not under anything, and the file heading of its block, if in view.
const seen = (tab) => tab.evaluate(() => {
    const line = document.querySelector(":target");
    const box = line.getBoundingClientRect();
    const middle = (b) => document.elementFromPoint(b.left + Math.min(b.width, 40) / 2, (b.top + b.bottom) / 2);
    const heading = line.closest(".blk").querySelector("h3");
    const h = heading.getBoundingClientRect();
    return { id: line.id, text: line.textContent, links: [...line.querySelectorAll("a")].map((a) => a.getAttribute("href")),
             inView: box.top >= 0 && box.bottom <= innerHeight && line.contains(middle(box)),
             heading: h.top >= 0 && h.bottom <= innerHeight && heading.contains(middle(h)) ? heading.textContent : null };
});

test("in a browser: a reference leads to its line, a use to its definition, the file's name in sight", { timeout: 60000 }, async () => {
    const tab = await open(page, { width: 1100, height: 360 });
    await tab.click('#s-PUTS a[href="#L33"]');
    await tab.waitForFunction(() => location.hash === "#L33");
    let target = await seen(tab);
    assert.deepEqual(target, { id: "L33", text: "33 27   \tJSR\tPUTS", links: ["#L42"], inView: true,
                               heading: "BLINK.AVL, lines 6–40 ↑ Symbols" });
    await tab.click("#L33 a");   // JSR PUTS, line 27
    await tab.waitForFunction(() => location.hash === "#L42");
    target = await seen(tab);
    assert.deepEqual(target, { id: "L42", text: "42 36   PUTS:\tSTA\tPORT_OUT\t;send one character", links: ["#s-PUTS", "#L7"],
                               inView: true, heading: "BLINK.AVL, lines 6–40 ↑ Symbols" });
    mkdirSync(dirname(screenshot), { recursive: true });
    await tab.screenshot({ path: screenshot });
    assert.deepEqual(tab.problems, []);
    await tab.close();
});

test("in a browser: every text at a contrast of 4.5:1 at least, a target line too", { timeout: 60000 }, async () => {
    const tab = await open(page, { width: 1100, height: 700 });
    await tab.click("#L33 a");
    await tab.waitForFunction(() => location.hash === "#L42");
    const low = await tab.evaluate(() => {
        const rgb = (c) => c.match(/[\d.]+/g).map(Number);
        const luminance = ([r, g, b]) => [r, g, b].map((v) => (v /= 255) <= 0.04045 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4)
            .reduce((sum, v, i) => sum + v * [0.2126, 0.7152, 0.0722][i], 0);
        const background = (e) => {
            for (; e; e = e.parentElement) {
                const c = rgb(getComputedStyle(e).backgroundColor);
                if (c.length < 4 || c[3] > 0) return c.slice(0, 3);
            }
            return [255, 255, 255];
        };
        const found = [];
        for (const e of document.body.querySelectorAll("*")) {
            if (![...e.childNodes].some((n) => n.nodeType === 3 && n.data.trim() !== "")) continue;
            const [a, b] = [luminance(rgb(getComputedStyle(e).color)), luminance(background(e))];
            const ratio = (Math.max(a, b) + 0.05) / (Math.min(a, b) + 0.05);
            if (ratio < 4.5) found.push(`${e.tagName} ${e.className} "${e.textContent.slice(0, 20)}" ${ratio.toFixed(2)}`);
        }
        return found;
    });
    assert.deepEqual(low, []);
    await tab.close();
});

test("in a browser: the first heading names the program; landmarks and headings lead to files, symbols and source", { timeout: 60000 }, async () => {
    const tab = await open(page, { width: 1100, height: 700 });
    assert.deepEqual(await tab.getByRole("heading", { level: 1 }).allTextContents(), ["BLINK.AVL — BLINK demo"]);
    for (const role of ["banner", "main"]) assert.equal(await tab.getByRole(role).count(), 1, role);
    for (const name of ["Files", "Symbols", "Source"]) assert.equal(await tab.getByRole("region", { name }).count(), 1, name);
    assert.deepEqual(await tab.getByRole("heading", { level: 3 }).allTextContents(),
                     ["Includes not read", "BLINK.AVL, lines 1–5 ↑ Symbols", "PORTS.INC, lines 1–6 ↑ Symbols",
                      "BLINK.AVL, lines 6–40 ↑ Symbols"]);
    await tab.close();
});

test("in a browser: the example's page and a 40,000-line program's print to PDF", { timeout: 1300000 }, async () => {
    const tab = await open(page, { width: 1100, height: 700 });
    assert.equal((await tab.pdf()).subarray(0, 5).toString(), "%PDF-");
    await tab.close();
    // The bench's generator writes the program; printing it must end within PRINT_BOUND.
    const PRINT_BOUND = 1200000;
    const dir = mkdtempSync(join(tmpdir(), "velxref-print-"));
    try {
        execFileSync("g++", ["-std=c++20", "-O2", "-o", join(dir, "gen_sources"), join(top, "bench/gen_sources.cpp")]);
        execFileSync(join(dir, "gen_sources"), ["realistic", "40000", join(dir, "BIG.AVL")]);
        assert.equal(spawnSync(velxref, ["--html", "BIG"], { cwd: dir }).status, 0);
        const big = await open(join(dir, "BIG.html"), { width: 1100, height: 700 });
        let timer;
        const bound = new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`not printed within ${PRINT_BOUND / 1000} s`)), PRINT_BOUND); });
        const pdf = await Promise.race([big.pdf(), bound]).finally(() => clearTimeout(timer));
        assert.equal(pdf.subarray(0, 5).toString(), "%PDF-");
        await big.close();
    } finally {
        rmSync(dir, { recursive: true, force: true });
    }
});
