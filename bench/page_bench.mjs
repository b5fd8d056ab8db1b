// The page of --html as a reader meets it, in Debian's headless chromium
// driven by playwright-core (the copy pinned in tests/page): for each page,
// a fresh browser with a fresh profile measures
//
//   load     time from the start of navigation to the load event
//   follow   time from clicking a link until the frame that shows its target
//            is painted, for five links spread over the page: references in
//            the symbol table (table -> line) and symbol links in the source
//            (source -> wherever they lead); the median and the slowest
//   memory   the renderer's peak resident size (VmHWM of its processes)
//   print    whether page.pdf() completes within PRINT_BOUND seconds, its
//            time and number of PDF pages
//
//   node bench/page_bench.mjs NAME=PAGE.html ...
//
// Bounds (seconds, MiB): LOAD_BOUND 600, PRINT_BOUND 600 (0: no printing),
// MEMORY_BOUND 12288; a case that passes one is stopped and reported as such.  Prints one
// line per page and writes the details as JSON to RESULTS_JSON when set.
import { createRequire } from "node:module";
import { mkdtempSync, readdirSync, readFileSync, rmSync, statSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join, resolve } from "node:path";
import { fileURLToPath, pathToFileURL } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));
const require = createRequire(join(here, "../tests/page/package.json"));
const { chromium } = require("playwright-core");

const LOAD_BOUND = Number(process.env.LOAD_BOUND ?? 600) * 1000;
const PRINT_BOUND = Number(process.env.PRINT_BOUND ?? 600) * 1000;
const MEMORY_BOUND = Number(process.env.MEMORY_BOUND ?? 12288) * 1024;   // KiB
const FRACTIONS = [0.2, 0.4, 0.6, 0.8, 0.95];

// Resident sizes (KiB) of the renderers of the browser that uses profile.
function renderers(profile) {
    const found = [];
    for (const pid of readdirSync("/proc")) {
        if (!/^\d+$/.test(pid)) continue;
        let cmd, status;
        try {
            cmd = readFileSync(`/proc/${pid}/cmdline`, "latin1");
            if (!cmd.includes("--type=renderer") || !cmd.includes(profile)) continue;
            status = readFileSync(`/proc/${pid}/status`, "latin1");
        } catch {
            continue;   // gone meanwhile
        }
        const field = (f) => Number(new RegExp(`^${f}:\\s+(\\d+)`, "m").exec(status)?.[1] ?? 0);
        found.push({ pid: Number(pid), rss: field("VmRSS"), hwm: field("VmHWM") });
    }
    return found;
}

const bounded = (promise, ms, what) => {
    let timer;
    const limit = new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`${what} not done within ${ms / 1000} s`)), ms); });
    return Promise.race([promise, limit]).finally(() => clearTimeout(timer));
};

// In the page: the links of one kind whose targets lie nearest the fractions
// of the source, then each clicked in turn, timed until the frame after the
// one that shows its target (the target's frame is then painted).
async function follow(tab, selector) {
    return tab.evaluate(async ({ selector, fractions }) => {
        const lines = document.querySelectorAll("span[id^=L]");
        const last = lines.length;
        const links = [...document.querySelectorAll(selector)];
        const lineOf = (a) => {
            if (a.closest("span[id^=L]")) return Number(a.closest("span[id^=L]").id.slice(1));
            return Number((a.getAttribute("href").match(/^#L(\d+)$/) ?? [0, 0])[1]);
        };
        const chosen = fractions.map((f) => {
            const want = Math.round(f * last);
            let best = null;
            for (const a of links) if (!best || Math.abs(lineOf(a) - want) < Math.abs(lineOf(best) - want)) best = a;
            return best;
        });
        const frame = () => new Promise((r) => requestAnimationFrame(() => r()));
        const times = [];
        for (const a of chosen) {
            if (!a) continue;
            const id = decodeURIComponent(a.getAttribute("href").slice(1));
            await frame();
            const t0 = performance.now();
            let took = null;
            a.click();
            while (performance.now() - t0 < 60000) {
                await frame();
                const box = document.getElementById(id)?.getBoundingClientRect();
                if (location.hash.slice(1) === id && box && box.bottom > 0 && box.top < innerHeight) {
                    await frame();
                    took = performance.now() - t0;
                    break;
                }
            }
            times.push(took);
        }
        return times;
    }, { selector, fractions: FRACTIONS });
}

const stats = (times) => {
    const t = times.filter((x) => x !== null).sort((a, b) => a - b);
    if (t.length === 0) return null;
    return { median: t[Math.floor(t.length / 2)], max: t[t.length - 1], runs: times };
};

async function measure(name, page) {
    const profile = mkdtempSync(join(tmpdir(), "velxref-page-bench-"));
    const result = { name, page, bytes: statSync(page).size };
    let peak = 0, stopped = null;
    const context = await chromium.launchPersistentContext(profile, {
        executablePath: "/usr/bin/chromium",
        headless: true,
        args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
               "--disable-background-networking", "--disable-component-update", "--disable-sync"],
        viewport: { width: 1100, height: 700 },
    });
    const watch = setInterval(() => {
        for (const r of renderers(profile)) {
            peak = Math.max(peak, r.hwm, r.rss);
            if (r.rss > MEMORY_BOUND && !stopped) {
                stopped = `renderer passed ${MEMORY_BOUND / 1024} MiB`;
                try { process.kill(r.pid, "SIGKILL"); } catch { /* gone */ }
            }
        }
    }, 250);
    try {
        const tab = context.pages()[0] ?? await context.newPage();
        tab.setDefaultTimeout(LOAD_BOUND);
        await tab.goto(pathToFileURL(page).href, { waitUntil: "load", timeout: LOAD_BOUND });
        result.load = await tab.evaluate(() => performance.getEntriesByType("navigation")[0].loadEventStart);
        result.table = stats(await follow(tab, "#symbols a[href^='#L']"));
        result.source = stats(await follow(tab, "#source span[id^=L] a"));
        const t0 = performance.now();
        if (PRINT_BOUND > 0) try {
            const pdf = await bounded(tab.pdf({ format: "A4" }), PRINT_BOUND, "printing");
            result.print = { done: true, seconds: (performance.now() - t0) / 1000,
                             pages: (pdf.toString("latin1").match(/\/Type\s*\/Page[^s]/g) ?? []).length };
        } catch (e) {
            result.print = { done: false, seconds: (performance.now() - t0) / 1000, why: String(e.message ?? e).split("\n")[0] };
        }
    } catch (e) {
        result.error = stopped ?? String(e.message ?? e).split("\n")[0];
    } finally {
        for (const r of renderers(profile)) peak = Math.max(peak, r.hwm, r.rss);
        clearInterval(watch);
        await bounded(context.close(), 30000, "closing").catch(() => {
            for (const r of renderers(profile)) try { process.kill(r.pid, "SIGKILL"); } catch { /* gone */ }
        });
        rmSync(profile, { recursive: true, force: true });
    }
    result.peakMiB = peak / 1024;
    if (stopped) result.error = stopped;
    return result;
}

const ms = (s) => (s ? `${s.median.toFixed(0)}/${s.max.toFixed(0)}` : "-");
const results = [];
console.log(`${"case".padEnd(14)} ${"page MB".padStart(8)} ${"load s".padStart(8)} ${"table->line ms".padStart(15)} ${"source link ms".padStart(15)} ${"peak MiB".padStart(9)}  print`);
for (const arg of process.argv.slice(2)) {
    const eq = arg.indexOf("=");
    const name = eq > 0 ? arg.slice(0, eq) : arg;
    const r = await measure(name, resolve(eq > 0 ? arg.slice(eq + 1) : arg));
    results.push(r);
    const print = r.print ? (r.print.done ? `done in ${r.print.seconds.toFixed(1)} s, ${r.print.pages} pages` : `NOT done: ${r.print.why}`) : "-";
    console.log(`${name.padEnd(14)} ${(r.bytes / 1e6).toFixed(1).padStart(8)} ${r.load === undefined ? "-".padStart(8) : (r.load / 1000).toFixed(2).padStart(8)} ` +
                `${ms(r.table).padStart(15)} ${ms(r.source).padStart(15)} ${r.peakMiB.toFixed(0).padStart(9)}  ${print}${r.error ? `  (${r.error})` : ""}`);
}
console.log("(follow: median/slowest of five clicks, from the click until the frame that shows the target is painted)");
if (process.env.RESULTS_JSON) writeFileSync(process.env.RESULTS_JSON, JSON.stringify(results, null, 1));
