// The extension in a real VS Code: code-server, started by run.sh with the
// extension installed and a copy of the example (with MISS.AVL, which
// includes a file that is not there) as its folder, shown in Debian's
// headless Chromium through playwright-core, and used by the keyboard as a
// user would: hover, go to definition (also into the include), rename, the
// Problems panel, the grammar's colours, the code lens a setting turns on,
// and a setting that restarts the server with another command line.
//
//   URL=http://127.0.0.1:PORT WORKSPACE=DIR SETTINGS=FILE SCREENSHOT=FILE node vscode_test.mjs
//
// Every wait is bounded and every step says what it waited for when it fails;
// the workbench is loaded again when it does not come up in time.
import { readFileSync, readdirSync } from "node:fs";
import { dirname, join } from "node:path";
import { setTimeout as sleep } from "node:timers/promises";
import { chromium } from "playwright-core";

const { URL, WORKSPACE, SETTINGS, SCREENSHOT } = process.env;
const BLINK = `${WORKSPACE}/BLINK.AVL`;
const original = readFileSync(BLINK, "utf8");

// Polls check() until it returns a truthy value or the time is up.
async function until(what, check, seconds = 60) {
    const end = Date.now() + seconds * 1000;
    let last;
    for (;;) {
        try {
            const value = await check();
            if (value) return value;
        } catch (e) {
            last = e;
        }
        if (Date.now() > end) throw new Error(`waited ${seconds} s for ${what}${last ? ` (last error: ${last.message})` : ""}`);
        await sleep(500);
    }
}

const browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
        "--disable-dev-shm-usage"],
});
const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
let failed = false;

async function step(name, action) {
    if (failed) return;
    const started = Date.now();
    try {
        await action();
        console.log(`ok - ${name} (${((Date.now() - started) / 1000).toFixed(1)} s)`);
    } catch (e) {
        failed = true;
        console.log(`not ok - ${name}: ${e.message}`);
        await page.screenshot({ path: SCREENSHOT.replace(/\.png$/, "-failed.png") }).catch(() => {});
        console.log(`# the page as it was: ${SCREENSHOT.replace(/\.png$/, "-failed.png")}`);
    }
}

const status = () => page.locator("#status\\.editor\\.selection").innerText({ timeout: 2000 });
const activeTab = () => page.locator(".tabs-container .tab.active").first().getAttribute("aria-label", { timeout: 2000 });
const editorFocus = async () => page.locator(".editor-instance .monaco-editor textarea").first().focus();

async function openFile(name) {
    await until(`${name} open in the editor`, async () => {
        await page.keyboard.press("Escape");
        await page.keyboard.press("Control+P");
        await page.locator(".quick-input-widget input[type=text]").waitFor({ state: "visible", timeout: 5000 });
        await page.keyboard.type(name);
        await page.locator(".quick-input-list .monaco-list-row").first().waitFor({ timeout: 5000 });
        await sleep(300);
        await page.keyboard.press("Enter");
        return (await until(`the tab of ${name}`, async () => (await activeTab())?.startsWith(name), 10)) && true;
    }, 60);
}

async function goTo(line, column) {
    await until(`the cursor at line ${line}, column ${column}`, async () => {
        await editorFocus();
        await page.keyboard.press("Control+G");
        await page.locator(".quick-input-widget input[type=text]").waitFor({ state: "visible", timeout: 5000 });
        await page.keyboard.type(`${line}:${column}`);
        await page.keyboard.press("Enter");
        await sleep(200);
        // the status bar counts a tab as several columns, so only the line is read there
        return (await status()).startsWith(`Ln ${line},`);
    }, 30);
}

await step("the workbench comes up with the folder", async () => {
    for (let attempt = 1; ; attempt++) {
        try {
            await page.goto(`${URL}/?folder=${encodeURIComponent(WORKSPACE)}`, { timeout: 60000 });
            await page.locator(".monaco-workbench .part.editor").waitFor({ timeout: 60000 });
            await page.locator(".explorer-folders-view .monaco-list-row").first().waitFor({ timeout: 60000 });
            return;
        } catch (e) {
            if (attempt === 3) throw new Error(`no workbench after 3 loads: ${e.message}`);
            console.log(`# the workbench did not come up (${e.message.split("\n")[0]}); loading again`);
        }
    }
});

await step("BLINK.AVL opens as Vela Family assembly", async () => {
    await openFile("BLINK.AVL");
    await until("the language in the status bar", async () =>
        (await page.locator("#status\\.editor\\.mode").innerText({ timeout: 2000 })).includes("Vela Family assembly"));
});

await step("the grammar colours a mnemonic and a label differently", async () => {
    const colours = await until("LDA and LOOP coloured apart", async () => {
        const found = await page.evaluate(() => {
            const colour = {};
            for (const span of document.querySelectorAll(".editor-instance .view-lines .view-line span span")) {
                if (!(span.textContent in colour)) colour[span.textContent] = getComputedStyle(span).color;
            }
            return colour;
        });
        return found.LDA && found.LOOP && found.LDA !== found.LOOP && found;
    }, 60);
    console.log(`# LDA ${colours.LDA}, LOOP ${colours.LOOP}, .INCLUDE ${colours[".INCLUDE"]}, $E000 ${colours.$E000}`);
    await page.screenshot({ path: SCREENSHOT });
});

// As a user does it: the user settings (JSON) opened from the command
// palette, the settings given added, and saved.
async function setUserSettings(more) {
    const settings = JSON.parse(readFileSync(SETTINGS, "utf8"));
    await until("settings.json open in the editor", async () => {
        await page.keyboard.press("Escape");
        await page.keyboard.press("F1");
        await page.locator(".quick-input-widget input[type=text]").waitFor({ state: "visible", timeout: 5000 });
        await page.keyboard.type("Preferences: Open User Settings (JSON)");
        await page.locator(".quick-input-list .monaco-list-row").first().waitFor({ timeout: 5000 });
        await sleep(300);
        await page.keyboard.press("Enter");
        return await until("the tab of settings.json", async () => (await activeTab())?.startsWith("settings.json"), 10);
    }, 60);
    await editorFocus();
    await page.keyboard.press("Control+A");
    await page.keyboard.insertText(JSON.stringify({ ...settings, ...more }, null, 2));
    await page.keyboard.press("Control+S");
    const saved = JSON.stringify({ ...settings, ...more });
    await until("settings.json saved", async () => JSON.stringify(JSON.parse(readFileSync(SETTINGS, "utf8"))) === saved, 30);
}

// Hover on the subroutine of line 36 until the server answers with its facts.
async function hoverFacts() {
    await until("a hover naming BLINK.AVL:36 and 1 definition, 2 calls", async () => {
        await goTo(36, 2);
        await page.keyboard.press("Control+K");
        await page.keyboard.press("Control+I");
        const hover = page.locator(".monaco-hover:not(.hidden) .monaco-hover-content").first();
        const text = await hover.innerText({ timeout: 5000 });
        return text.includes("BLINK.AVL:36") && text.includes("1 definition, 2 calls (&), 0 other uses");
    }, 120);
    await page.keyboard.press("Escape");
}

// The extension's own log (its output channel, "velxref"), as VS Code keeps it.
function extensionLog() {
    const logs = [];
    const walk = (dir) => {
        for (const e of readdirSync(dir, { withFileTypes: true })) {
            if (e.isDirectory()) walk(join(dir, e.name));
            else if (/-velxref\.log$/.test(e.name)) logs.push(readFileSync(join(dir, e.name), "utf8"));
        }
    };
    walk(join(dirname(SETTINGS), "..", "logs"));
    return logs.join("");
}

await step("hover on PUTS shows its definition and its counts (the server is up)", hoverFacts);

// F12 on a place of BLINK.AVL until the editor shows the file and line it should
// (asked again while the server is busy, as a user would).
async function definition(line, column, file, target) {
    await until(`${file} at line ${target} after F12 on line ${line}`, async () => {
        if (!(await activeTab())?.startsWith("BLINK.AVL")) await openFile("BLINK.AVL");
        await goTo(line, column);
        await page.keyboard.press("F12");
        return await until(`${file} at line ${target}`, async () =>
            (await activeTab())?.startsWith(file) && (await status()).startsWith(`Ln ${target},`), 5).catch(() => false);
    }, 60);
}

await step("go to definition from JSR PUTS lands on line 36", () => definition(27, 6, "BLINK.AVL", 36));

await step("go to definition from STA PORT_OUT opens PORTS.INC at line 2", () => definition(23, 6, "PORTS.INC", 2));

// The lens over PUTS (line 36), its top between two lines above that line's
// and that line's own: the calls are the JSR of the macro PUTC (line 12) and
// the JSR of line 27.
await step("with velxref.codeLens on, \"2 calls\" over PUTS opens the references peek on lines 12 and 27", async () => {
    await openFile("BLINK.AVL");
    await goTo(36, 1);
    if (await page.locator(".codelens-decoration").count() > 0) throw new Error("a code lens while velxref.codeLens is not set");
    await setUserSettings({ "velxref.codeLens": true });
    await openFile("BLINK.AVL");
    await goTo(36, 1);
    const lens = page.locator(".codelens-decoration a", { hasText: /^2 calls$/ });
    await until("\"2 calls\" right above line 36", async () => {
        const over = await lens.boundingBox({ timeout: 2000 });
        const line = await page.locator(".editor-instance .view-lines .view-line", { hasText: /^PUTS:/ }).boundingBox({ timeout: 2000 });
        return over && line && over.y < line.y && over.y > line.y - 2 * line.height;
    }, 60);
    await lens.click({ timeout: 10000 });
    const rows = page.locator(".reference-zone-widget .ref-tree .monaco-list-row");
    await until("the references peek listing lines 12 and 27", async () => {
        const labels = await rows.evaluateAll((all) => all.map((row) => row.getAttribute("aria-label") || ""));
        const lines = labels.flatMap((label) => [...label.matchAll(/\bline (\d+)/g)].map((m) => Number(m[1])));
        if (lines.join() !== "12,27") throw new Error(`rows: ${JSON.stringify(labels)}`);
        return true;
    }, 30);
    await page.keyboard.press("Escape");
});

await step("renaming PUTS changes exactly three places", async () => {
    await openFile("BLINK.AVL");
    const box = page.locator(".rename-box input.rename-input").first();
    await until("the rename box on PUTS", async () => {
        await page.keyboard.press("Escape");
        await goTo(36, 1);
        await page.keyboard.press("F2");
        await box.waitFor({ state: "visible", timeout: 10000 });
        return true;
    }, 60);
    await until("the new name in the rename box", async () => {
        await box.fill("PUTSTR", { timeout: 2000 });
        return (await box.inputValue()) === "PUTSTR";
    }, 30);
    await box.press("Enter");
    await until("the rename applied", async () => (await page.locator(".editor-instance .view-lines").innerText()).includes("PUTSTR"), 30);
    await editorFocus();
    await page.keyboard.press("Control+S");
    const lines = original.split("\n");
    const expected = lines.map((line, i) => [12, 27, 36].includes(i + 1) ? line.replace("PUTS", "PUTSTR") : line).join("\n");
    await until("BLINK.AVL saved with PUTSTR on lines 12, 27 and 36 and nothing else changed", async () => {
        const now = readFileSync(BLINK, "utf8");
        if (now !== original && now !== expected) {
            const changed = now.split("\n").map((l, i) => (l !== lines[i] ? i + 1 : 0)).filter((n) => n);
            throw new Error(`lines changed: ${changed.join(", ")}`);
        }
        return now === expected;
    }, 30);
});

await step("the Problems panel shows the missing include", async () => {
    await openFile("MISS.AVL");
    await page.keyboard.press("Control+Shift+M");
    await until("\"Can't open include file NOPE.INC\" in the Problems panel", async () =>
        (await page.locator(".markers-panel").innerText({ timeout: 2000 })).includes("Can't open include file NOPE.INC"), 60);
});

await step("velxref.exclude set to NOPE.INC restarts the server, and the missing include is gone", async () => {
    await setUserSettings({ "velxref.exclude": ["NOPE.INC"] });
    await until("the server started again with -iNOPE.INC", async () => /--lsp -iNOPE\.INC$/m.test(extensionLog()), 60);
    await openFile("BLINK.AVL");
    await hoverFacts();
    await until("no \"Can't open include file NOPE.INC\" in the Problems panel", async () =>
        !(await page.locator(".markers-panel").innerText({ timeout: 2000 })).includes("NOPE.INC"), 60);
});

await browser.close();
if (failed) process.exit(1);
console.log("vscode: every step passed");
