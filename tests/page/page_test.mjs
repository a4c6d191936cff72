// The status page in Debian's Chromium. A stand-in for the web view's message channel
// records what the page sends and delivers view documents written by the real view model.
//   node page_test.mjs --page <status.html> --views <folder> --shots <folder>
import { existsSync, mkdirSync, readFileSync } from "node:fs";
import { createRequire } from "node:module";
import path from "node:path";
import { pathToFileURL } from "node:url";
import assert from "node:assert/strict";

const require = createRequire(import.meta.url);

function argument(name) {
  const i = process.argv.indexOf(name);
  if (i < 0 || i + 1 >= process.argv.length) {
    console.error(`page_test: missing ${name}`);
    process.exit(2);
  }
  return process.argv[i + 1];
}

const pagePath = path.resolve(argument("--page"));
const viewsDir = path.resolve(argument("--views"));
const shotsDir = path.resolve(argument("--shots"));
const browserPath = "/usr/bin/chromium";

let playwright;
try {
  playwright = require("playwright-core");
} catch (e) {
  console.error("page_test: playwright-core is not installed; run scripts/setup (npm ci in tests/page)");
  process.exit(1);
}
if (!existsSync(browserPath)) {
  console.error(`page_test: ${browserPath} is missing; run scripts/setup`);
  process.exit(1);
}

const views = {};
for (const name of ["setup", "setup-busy", "setup-error", "reconnect", "sending", "paused", "offline", "rejected",
                    "waiting", "starting"]) {
  views[name] = JSON.parse(readFileSync(path.join(viewsDir, `${name}.json`), "utf8"));
}
const statusViews = ["sending", "paused", "offline", "rejected", "waiting", "starting"];

const PALETTE = {
  green: "rgb(30, 127, 79)",
  amber: "rgb(217, 134, 11)",
  red: "rgb(229, 72, 77)",
};

// The host side of the channel. The host reads each message as JSON and ignores anything
// that is not an object, so the stand-in refuses (and records) everything else.
function hostStandIn() {
  const host = { sent: [], refused: [], listeners: [] };
  window.__host = host;
  window.chrome = window.chrome || {};
  window.chrome.webview = {
    postMessage(message) {
      const plain = message !== null && typeof message === "object" && !Array.isArray(message) &&
                    Object.getPrototypeOf(message) === Object.prototype;
      if (!plain) {
        host.refused.push(String(message));
        return;
      }
      host.sent.push(JSON.parse(JSON.stringify(message)));
    },
    addEventListener(type, listener) {
      if (type === "message") host.listeners.push(listener);
    },
    removeEventListener(type, listener) {
      host.listeners = host.listeners.filter((l) => l !== listener);
    },
  };
  host.post = (json) => {
    const data = JSON.parse(json);
    for (const listener of host.listeners) listener({ data, source: window.chrome.webview });
  };
}

const launchArgs = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                    "--disable-background-networking", "--disable-component-update", "--disable-sync"];
// Playwright gives every launch a fresh temporary profile (its own --user-data-dir).
const browser = await playwright.chromium.launch({ executablePath: browserPath, headless: true, args: launchArgs });

async function openPage({ scale = 1, clock = false } = {}) {
  const context = await browser.newContext({ viewport: { width: 740, height: 740 }, deviceScaleFactor: scale });
  const page = await context.newPage();
  const problems = [];
  const requests = [];
  page.on("pageerror", (e) => problems.push(`page error: ${e.message}`));
  page.on("console", (m) => {
    if (m.type() === "error") problems.push(`console: ${m.text()}`);
  });
  page.on("request", (r) => requests.push(r.url()));
  page.on("popup", () => problems.push("a window was opened"));
  if (clock) {
    // Time stands still until the test moves it.
    await page.clock.install({ time: new Date("2026-01-01T00:00:00Z") });
    await page.clock.pauseAt(new Date("2026-01-01T00:00:01Z"));
  }
  await page.addInitScript(hostStandIn);
  await page.goto(pathToFileURL(pagePath).href);
  return {
    page,
    problems,
    requests,
    async post(doc) {
      await page.evaluate((json) => window.__host.post(json), JSON.stringify(doc));
    },
    async sent() {
      return page.evaluate(() => window.__host.sent);
    },
    async clearSent() {
      await page.evaluate(() => { window.__host.sent = []; });
    },
    async close() {
      const refused = await page.evaluate(() => window.__host.refused);
      assert.deepEqual(refused, [], "the page sent something that is not a plain object");
      assert.deepEqual(problems, [], "errors in the page");
      await context.close();
    },
  };
}

async function visible(page, selector) {
  return page.locator(selector).isVisible();
}

function withChanges(doc, change) {
  const copy = JSON.parse(JSON.stringify(doc));
  change(copy);
  return copy;
}

// The bar rule: heights scale to max(chart.max, 1); a non-zero bar is at least 3 %, a zero
// bar 1 %; full opacity above a quarter of the maximum, 0.45 for other non-zero bars, 0.12
// for zero ones.
function expectedBar(value, chartMax) {
  const max = Math.max(chartMax, 1);
  if (value === 0) return { height: 1, opacity: 0.12 };
  return { height: Math.max(Math.round((value / max) * 100), 3), opacity: value > max / 4 ? 1 : 0.45 };
}

const cases = [];
function test(name, body) {
  cases.push({ name, body });
}

// --- Loading and rendering: catches a missing or repeated "ready", views that do not follow
// `view`, a page that shows content before the first document, and stale content.
test("sends ready exactly once when loaded, before any view arrives", async () => {
  const p = await openPage();
  assert.deepEqual(await p.sent(), [{ action: "ready" }]);
  assert.equal(await visible(p.page, "main"), false, "nothing may show before the first view");
  for (const name of ["setup", "sending", "paused", "setup"]) await p.post(views[name]);
  assert.deepEqual(await p.sent(), [{ action: "ready" }]);
  await p.close();
});

// Every model document, in turn, in one page: catches a view chosen by state instead of
// `view`, and a render that keeps the previous document's title, line or tone.
test("renders every document: setup view for view setup, status view otherwise", async () => {
  const p = await openPage();
  for (const name of Object.keys(views)) {
    const doc = views[name];
    await p.post(doc);
    const setup = doc.view === "setup";
    assert.equal(await visible(p.page, "#setup"), setup, `${name}: setup view`);
    assert.equal(await visible(p.page, "#status"), !setup, `${name}: status view`);
    if (setup) {
      assert.equal(await p.page.textContent("#setup-title"), doc.title, `${name}: title`);
      assert.equal(await p.page.textContent("#setup-line"), doc.line, `${name}: line`);
    } else {
      assert.equal(await p.page.textContent("#status-title"), doc.title, `${name}: title`);
      assert.equal(await p.page.textContent("#status-line"), doc.line, `${name}: line`);
      const ring = await p.page.$eval("#ring", (e) => getComputedStyle(e).borderTopColor);
      assert.equal(ring, PALETTE[doc.tone], `${name}: ring in the ${doc.tone} tone`);
    }
  }
  await p.close();
});

// --- The setup view. Catches a code box that is not emptied or focused when the state
// changes (or is emptied on every refresh), the start box shown on reconnect, a busy
// button that still works, a missing error text and a missing default title.
test("entering the setup view empties and focuses the code box; a refresh of the same state keeps it", async () => {
  const p = await openPage();
  await p.post(views.setup);
  assert.equal(await p.page.evaluate(() => document.activeElement.id), "code");
  await p.page.fill("#code", "abcd-efgh");
  await p.post(views["setup-error"]);  // same state "setup": the typed code stays
  assert.equal(await p.page.inputValue("#code"), "abcd-efgh");
  await p.page.focus("#connect");
  await p.post(views.reconnect);  // state changes to "reconnect": emptied and focused
  assert.equal(await p.page.inputValue("#code"), "");
  assert.equal(await p.page.evaluate(() => document.activeElement.id), "code");
  await p.page.fill("#code", "wxyz");
  await p.post(views.sending);
  await p.post(views.setup);  // back from the status view
  assert.equal(await p.page.inputValue("#code"), "");
  assert.equal(await p.page.evaluate(() => document.activeElement.id), "code");
  await p.close();
});

test("setup form: start box hidden on reconnect, busy button, error text, default title", async () => {
  const p = await openPage();
  // One row per document: [document, start box shown, button disabled, button text, error text].
  const table = [
    [views.setup, true, false, "Connect", ""],
    [views["setup-busy"], true, true, "Connecting\u2026", ""],
    [views["setup-error"], true, false, "Connect", views["setup-error"].connect.error],
    [views.reconnect, false, false, "Connect", views.reconnect.connect.error],
  ];
  for (const [doc, startShown, disabled, buttonText, error] of table) {
    await p.post(doc);
    const label = `${doc.state}/${JSON.stringify(doc.connect)}`;
    assert.equal(await visible(p.page, "#setup-start"), startShown, `${label}: start box`);
    assert.equal(await p.page.isDisabled("#connect"), disabled, `${label}: button disabled`);
    assert.equal((await p.page.textContent("#connect")).trim(), buttonText, `${label}: button text`);
    assert.equal(await visible(p.page, "#connect-error"), error !== "", `${label}: error shown`);
    if (error !== "") assert.equal(await p.page.textContent("#connect-error"), error, `${label}: error text`);
  }
  assert.notEqual(views.setup.connect.error, undefined);
  await p.post(withChanges(views.setup, (d) => { d.title = ""; }));
  assert.equal(await p.page.textContent("#setup-title"), "Welcome to Parlow");
  await p.close();
});

// Catches an untrimmed code, a connect sent for an empty code, the setup start box not
// travelling with the message, and a busy form that still sends.
test("connect sends the trimmed code with the start box; an empty code only focuses the box", async () => {
  // One row per attempt: [typed code, untick start box, press Enter instead of clicking, expected message].
  const table = [
    ["  ABCD-EFGH-JKLM \t", false, false, { action: "connect", code: "ABCD-EFGH-JKLM", startWithWindows: true }],
    ["abcd-efgh", true, false, { action: "connect", code: "abcd-efgh", startWithWindows: false }],
    ["  wxyz", false, true, { action: "connect", code: "wxyz", startWithWindows: true }],
    ["", false, false, null],
    ["    ", false, true, null],
  ];
  for (const [typed, untick, enter, expected] of table) {
    const p = await openPage();
    await p.post(views.setup);
    await p.clearSent();
    await p.page.fill("#code", typed);
    if (untick) await p.page.uncheck("#setup-start");
    await p.page.focus("#connect");
    if (enter) await p.page.press("#code", "Enter");
    else await p.page.click("#connect");
    assert.deepEqual(await p.sent(), expected ? [expected] : [], JSON.stringify(typed));
    if (!expected) assert.equal(await p.page.evaluate(() => document.activeElement.id), "code");
    assert.equal(p.page.url(), pathToFileURL(pagePath).href, "the form must not navigate");
    // While busy, nothing is sent.
    await p.post(views["setup-busy"]);
    await p.clearSent();
    await p.page.press("#code", "Enter");
    assert.deepEqual(await p.sent(), []);
    await p.close();
  }
});

test("the code box holds at most 20 characters and shows them in upper case", async () => {
  const p = await openPage();
  await p.post(views.setup);
  await p.page.type("#code", "abcdefghijklmnopqrstuvwxyz");
  assert.equal(await p.page.inputValue("#code"), "abcdefghijklmnopqrst");
  assert.equal(await p.page.$eval("#code", (e) => getComputedStyle(e).textTransform), "uppercase");
  assert.equal(await p.page.getAttribute("#code", "placeholder"), "ABCD-EFGH-JKLM");
  assert.equal(await p.page.isChecked("#setup-start"), true, "the setup start box starts ticked");
  await p.close();
});

// --- The status view. Catches a Pause/Resume that sends the current state instead of the
// opposite, counters in the wrong tile, totals without " in total", and bars that break the
// scaling, minimum-height or opacity rules.
test("pause button sends the opposite of paused", async () => {
  // One row per document: [document, button text, message].
  const table = [
    [views.sending, "Pause", { action: "pause", paused: true }],
    [views.paused, "Resume", { action: "pause", paused: false }],
  ];
  const p = await openPage();
  for (const [doc, text, message] of table) {
    await p.post(doc);
    await p.clearSent();
    assert.equal((await p.page.textContent("#pause")).trim(), text);
    await p.page.click("#pause");
    assert.deepEqual(await p.sent(), [message]);
  }
  await p.close();
});

test("tiles show today's counters and the totals", async () => {
  const p = await openPage();
  for (const name of statusViews) {
    const doc = views[name];
    await p.post(doc);
    // One row per tile: [figure element, total element, member].
    const table = [["#events-today", "#events-total", "events"], ["#games-today", "#games-total", "games"],
                   ["#uploaded-today", "#uploaded-total", "uploaded"]];
    for (const [today, total, key] of table) {
      assert.equal(await p.page.textContent(today), doc.today[key], `${name} ${key} today`);
      assert.equal(await p.page.textContent(total), `${doc.total[key]} in total`, `${name} ${key} total`);
    }
  }
  assert.match(await p.page.textContent("#status"), /Since midnight, this PC's time/);
  await p.close();
});

test("chart bars follow the scaling and opacity rules; the rate text is shown", async () => {
  const p = await openPage();
  const seen = new Set();
  for (const name of statusViews) {
    const doc = views[name];
    await p.post(doc);
    const bars = await p.page.$$eval("#bars .bar", (els) =>
      els.map((e) => ({ height: parseFloat(e.style.height), opacity: parseFloat(getComputedStyle(e).opacity),
                        px: e.getBoundingClientRect().height, box: e.parentElement.clientHeight })));
    assert.equal(bars.length, 30, `${name}: 30 bars`);
    doc.chart.bars.forEach((value, i) => {
      const want = expectedBar(value, doc.chart.max);
      seen.add(want.opacity);
      assert.equal(bars[i].height, want.height, `${name} bar ${i} (${value} of ${doc.chart.max}) height`);
      assert.ok(Math.abs(bars[i].opacity - want.opacity) < 1e-6, `${name} bar ${i} opacity`);
      assert.ok(Math.abs(bars[i].px - (bars[i].box * want.height) / 100) <= 1, `${name} bar ${i} drawn height`);
    });
    assert.equal(await p.page.textContent("#chart-rate"), doc.chart.rate, `${name}: rate`);
  }
  // The model documents between them exercise all three opacities.
  assert.deepEqual([...seen].sort(), [0.12, 0.45, 1]);
  // A chart whose maximum is 0 scales to 1: an all-zero chart is all 1 % bars.
  await p.post(withChanges(views.waiting, (d) => { d.chart.bars[29] = 0; d.chart.max = 0; }));
  const heights = await p.page.$$eval("#bars .bar", (els) => els.map((e) => e.style.height));
  assert.deepEqual(heights, new Array(30).fill("1%"));
  await p.close();
});

// Catches rows without their dot colour, rows left over from a previous document, and a
// copy button that does not send, does not read "Copied", or reverts at the wrong time.
test("detail rows carry their tone dot", async () => {
  const p = await openPage();
  for (const name of [...statusViews, "sending"]) {
    const doc = views[name];
    await p.post(doc);
    const rows = await p.page.$$eval("#details li", (els) => els.map((li) => ({
      label: li.querySelector(".label").textContent,
      value: li.querySelector(".value").textContent,
      dot: getComputedStyle(li.querySelector(".dot")).backgroundColor,
    })));
    assert.equal(rows.length, doc.details.length, `${name}: row count`);
    doc.details.forEach((row, i) => {
      assert.equal(rows[i].label, row.label);
      assert.equal(rows[i].value, row.value);
      assert.equal(rows[i].dot, row.tone ? PALETTE[row.tone] : "rgba(0, 0, 0, 0)", `${name} row ${i} dot`);
    });
  }
  await p.close();
});

test("copy details sends copyDetails and reads Copied for 1800 ms", async () => {
  const p = await openPage({ clock: true });
  await p.post(views.sending);
  await p.clearSent();
  await p.page.click("#copy");
  assert.deepEqual(await p.sent(), [{ action: "copyDetails" }]);
  assert.equal((await p.page.textContent("#copy")).trim(), "Copied");
  await p.page.clock.runFor(1799);
  assert.equal((await p.page.textContent("#copy")).trim(), "Copied");
  await p.post(views.sending);  // a refresh does not cut it short
  await p.page.clock.runFor(1);
  assert.equal((await p.page.textContent("#copy")).trim(), "Copy details for support");
  await p.close();
});

// Catches a start box that does not send, sends the wrong flag, or is overwritten by a
// refresh while the user is on it.
test("status start box sends its state and follows the document unless focused", async () => {
  const p = await openPage();
  const on = views.sending;
  const off = withChanges(views.sending, (d) => { d.startWithWindows = false; });
  assert.equal(on.startWithWindows, true);
  await p.post(off);
  assert.equal(await p.page.isChecked("#status-start"), false);
  await p.post(on);
  assert.equal(await p.page.isChecked("#status-start"), true);
  await p.clearSent();
  await p.page.click("#status-start");
  assert.deepEqual(await p.sent(), [{ action: "startWithWindows", enabled: false }]);
  await p.post(on);  // the refresh before the host applied the change: focused, so kept
  assert.equal(await p.page.isChecked("#status-start"), false);
  await p.page.focus("#pause");
  await p.post(on);
  assert.equal(await p.page.isChecked("#status-start"), true);
  await p.page.click("#status-start");
  await p.page.click("#status-start");
  assert.deepEqual((await p.sent()).slice(1), [{ action: "startWithWindows", enabled: false },
                                                { action: "startWithWindows", enabled: true }]);
  await p.close();
});

// --- Keys, menus and navigation. Catches Escape not hiding, the context menu left on (or
// taken from the code box), and anything that could leave the page or open a window.
test("Escape sends hide from either view", async () => {
  const p = await openPage();
  for (const name of ["setup", "sending"]) {
    await p.post(views[name]);
    await p.clearSent();
    await p.page.keyboard.press("Escape");
    assert.deepEqual(await p.sent(), [{ action: "hide" }], name);
  }
  await p.close();
});

test("the context menu is suppressed everywhere but in the code box", async () => {
  const p = await openPage();
  const prevented = (selector) => p.page.$eval(selector, (e) =>
    !e.dispatchEvent(new MouseEvent("contextmenu", { bubbles: true, cancelable: true })));
  await p.post(views.setup);
  // One row per element: [selector, menu suppressed].
  const setupTable = [["#code", false], ["#setup-title", true], ["#connect", true], ["body", true], ["#setup-start", true]];
  for (const [selector, want] of setupTable) assert.equal(await prevented(selector), want, selector);
  await p.post(views.sending);
  for (const selector of ["#status-title", "#bars", "#details", "#copy", "#status-start"]) {
    assert.equal(await prevented(selector), true, selector);
  }
  await p.close();
});

test("the page cannot leave itself: policy, no links, no requests, dropped files ignored", async () => {
  const p = await openPage();
  const csp = await p.page.getAttribute('meta[http-equiv="Content-Security-Policy"]', "content");
  assert.match(csp, /default-src 'none'/);
  assert.match(csp, /img-src data:/);
  assert.match(csp, /script-src 'unsafe-inline'/);
  assert.match(csp, /style-src 'unsafe-inline'/);
  assert.equal(await p.page.title(), "Parlow");
  for (const name of ["setup", "sending"]) {
    await p.post(views[name]);
    assert.equal(await p.page.locator("a, iframe, object, embed").count(), 0);
    const images = await p.page.$$eval("img", (els) => els.map((e) => e.getAttribute("src")));
    for (const src of images) assert.ok(src.startsWith("data:"), src);
  }
  // Any resource loads other than the page itself (fonts, images, scripts) are fetches.
  assert.deepEqual(p.requests, [pathToFileURL(pagePath).href]);
  // A dropped file would make a browser navigate to it unless the page refuses the drop.
  const dropRefused = await p.page.evaluate(() =>
    !document.body.dispatchEvent(new DragEvent("drop", { bubbles: true, cancelable: true })) &&
    !document.body.dispatchEvent(new DragEvent("dragover", { bubbles: true, cancelable: true })));
  assert.equal(dropRefused, true);
  // The policy really blocks: an injected remote image is refused by the browser.
  const blocked = await p.page.evaluate(() => new Promise((resolve) => {
    document.addEventListener("securitypolicyviolation", (e) => resolve(e.violatedDirective), { once: true });
    const img = document.createElement("img");
    img.src = "https://example.invalid/x.png";
    document.body.appendChild(img);
  }));
  assert.equal(blocked, "img-src");
  p.problems.length = 0;  // the refused image is reported on the console by design
  await p.close();
});

// Catches a focus order that skips a control and controls without accessible names.
test("keyboard order and accessible names", async () => {
  const p = await openPage();
  await p.post(views.setup);
  await p.page.focus("#code");
  const order = [];
  for (let i = 0; i < 2; i++) {
    await p.page.keyboard.press("Tab");
    order.push(await p.page.evaluate(() => document.activeElement.id));
  }
  assert.deepEqual(order, ["setup-start", "connect"]);
  assert.equal(await p.page.getByLabel("Your code").count(), 1);
  assert.equal(await p.page.getByRole("checkbox", { name: "Start with Windows" }).count(), 1);
  assert.equal(await p.page.getByRole("button", { name: "Connect" }).count(), 1);
  await p.post(views.sending);
  for (const name of ["Pause", "Copy details for support"]) {
    assert.equal(await p.page.getByRole("button", { name }).count(), 1, name);
  }
  assert.equal(await p.page.getByRole("checkbox", { name: "Start with Windows" }).count(), 1);
  assert.equal(await p.page.getByRole("img", { name: /Upload, last 10 minutes/ }).count(), 1);
  await p.page.focus("#pause");
  await p.page.keyboard.press("Tab");
  assert.equal(await p.page.evaluate(() => document.activeElement.id), "copy");
  await p.page.keyboard.press("Tab");
  assert.equal(await p.page.evaluate(() => document.activeElement.id), "status-start");
  await p.close();
});

// Catches a chart, ring or tone dots that vanish when Windows' high contrast forces the
// system colours.
test("high contrast keeps the chart, ring and dots in their colours", async () => {
  const p = await openPage();
  await p.page.emulateMedia({ forcedColors: "active" });
  await p.post(views.offline);
  const colours = await p.page.evaluate(() => ({
    bar: getComputedStyle(document.querySelector("#bars .bar")).backgroundColor,
    ring: getComputedStyle(document.querySelector("#ring")).borderTopColor,
    dot: getComputedStyle(document.querySelector("#details .dot")).backgroundColor,
  }));
  assert.deepEqual(colours, { bar: "rgb(59, 91, 219)", ring: PALETTE.red, dot: PALETTE.red });
  await p.close();
});

// --- Screenshots of the main states at the window's client size, at 100 % and 150 %.
test("screenshots", async () => {
  mkdirSync(shotsDir, { recursive: true });
  for (const scale of [1, 1.5]) {
    const p = await openPage({ scale });
    for (const name of ["setup", "reconnect", "sending", "paused", "offline", "rejected"]) {
      await p.post(views[name]);
      await p.page.evaluate(() => document.activeElement && document.activeElement.blur());
      // Nothing may be cut off: the page fits the window without scrolling at 740 × 740.
      const overflow = await p.page.evaluate(() => document.documentElement.scrollHeight - window.innerHeight);
      assert.ok(overflow <= 0, `${name} at ${scale}: ${overflow} px taller than the window`);
      await p.page.screenshot({ path: path.join(shotsDir, `${name}@${scale}x.png`) });
    }
    await p.close();
  }
});

let passed = 0;
let failed = 0;
for (const c of cases) {
  try {
    await c.body();
    passed++;
    console.log(`ok   ${c.name}`);
  } catch (e) {
    failed++;
    console.log(`FAIL ${c.name}\n     ${String(e && e.stack || e).split("\n").join("\n     ")}`);
  }
}
await browser.close();
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
