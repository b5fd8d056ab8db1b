// The example's page: what was worked out by hand, the checker, and a real
// browser (Debian's chromium, headless, driven by playwright-core) following
// a reference link.  VELXREF names the binary; the screenshot goes to
// SCREENSHOT (default build/page/BLINK.png).
import { test } from "node:test";
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

test("PUTS: 18& 33& 42#, and 18 is line 12 of BLINK.AVL", () => {
    const nodes = [];
    const walk = (n) => { nodes.push(n); (n.childNodes ?? []).forEach(walk); };
    walk(parse(readFileSync(page, "utf8")));
    const attr = (n, a) => n.attrs?.find((x) => x.name === a)?.value;
    const row = nodes.find((n) => attr(n, "id") === "s-PUTS");
    const links = [];
    const collect = (n) => { if (n.nodeName === "a") links.push(n); (n.childNodes ?? []).forEach(collect); };
    collect(row);
    const shown = links.map((a) => [a.childNodes[0].value, attr(a, "href"), attr(a, "title")]);
    assert.deepEqual(shown, [["18&", "#L18", "BLINK.AVL:12"], ["33&", "#L33", "BLINK.AVL:27"],
                             ["42#", "#L42", "BLINK.AVL:36"]]);
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

test("in a browser, a reference link lands on its line", { timeout: 60000 }, async () => {
    const { chromium } = await import("playwright-core");
    const browser = await chromium.launch({
        executablePath: "/usr/bin/chromium",
        args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
               "--disable-component-update", "--disable-sync"],
    });
    try {
        const tab = await browser.newPage({ viewport: { width: 1100, height: 700 } });
        const problems = [];
        tab.on("console", (m) => { if (m.type() === "error") problems.push(m.text()); });
        tab.on("pageerror", (e) => problems.push(String(e)));
        tab.on("request", (r) => { if (!r.url().startsWith("file:")) problems.push(`request ${r.url()}`); });
        await tab.goto(pathToFileURL(page).href);
        await tab.click('#s-PUTS a[href="#L33"]');
        await tab.waitForFunction(() => location.hash === "#L33");
        const target = await tab.evaluate(() => {
            const line = document.querySelector(":target");
            const box = line.getBoundingClientRect();
            return { id: line.id, text: line.textContent, visible: box.top >= 0 && box.bottom <= innerHeight,
                     links: [...line.querySelectorAll("a")].map((a) => a.getAttribute("href")) };
        });
        assert.equal(target.id, "L33");
        assert.equal(target.text, "33 27   \tJSR\tPUTS");
        assert.ok(target.visible, "the line is in view");
        assert.deepEqual(target.links, ["#s-PUTS"]);
        mkdirSync(dirname(screenshot), { recursive: true });
        await tab.screenshot({ path: screenshot });
        assert.deepEqual(problems, []);
    } finally {
        await browser.close();
    }
});
