// page_check.mjs - the exporter's status page in a real browser (the system's Chromium,
// headless, driven by puppeteer-core) against a running zel:
//   1. the page loads and shows a running zel without a single console error, failed
//      request or error response;
//   2. its numbers move while zel runs;
//   3. with zel frozen (SIGSTOP), after a reading taken during the freeze, every value it
//      shows equals the line zel --status prints;
//   4. after zel is stopped, the page says so, still without errors.
// Prints "ok"/"FAIL" lines; exits 1 when anything failed.
//
//   node page_check.mjs URL ZEL MAP_NAME ZEL_PID CHROMIUM USER_DATA_DIR SCREENSHOT_PREFIX
import { execFileSync } from "node:child_process";
import { readFileSync } from "node:fs";
import puppeteer from "puppeteer-core";

const [url, zel, mapName, zelPidText, chromium, userDataDir, shotPrefix] = process.argv.slice(2);
const zelPid = Number(zelPidText);
let failures = 0;
const check = (name, ok, detail = "") => {
  console.log((ok ? "ok   " : "FAIL ") + name + (ok || !detail ? "" : ": " + detail));
  if (!ok) failures++;
};
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const stopped = () => readFileSync(`/proc/${zelPid}/stat`, "utf8").split(") ")[1].startsWith("T");

const browser = await puppeteer.launch({
  executablePath: chromium,
  headless: false, // the flag is given below, as this machine's Chromium wants it
  userDataDir,
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--window-size=1280,1000"],
});
const problems = [];
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 1000 });
  page.on("console", (m) => { if (m.type() === "error") problems.push("console: " + m.text()); });
  page.on("pageerror", (e) => problems.push("page error: " + e.message));
  page.on("requestfailed", (r) => problems.push("request failed: " + r.url()));
  page.on("response", (r) => { if (r.status() >= 400) problems.push(`HTTP ${r.status()}: ${r.url()}`); });

  await page.goto(url, { waitUntil: "load" });
  const readings = () => page.evaluate(() => Number(document.body.dataset.readings || 0));
  const waitReadings = async (n) => {
    const target = (await readings()) + n;
    await page.waitForFunction((t) => Number(document.body.dataset.readings || 0) >= t,
      { timeout: 20000 }, target);
  };
  // Everything with a data-value, and the text shown for it.
  const values = () => page.evaluate(() => {
    const out = {};
    document.querySelectorAll("[data-value]").forEach((el) => {
      out[el.id] = { value: el.dataset.value, text: el.textContent };
    });
    out.version = { value: document.getElementById("version").textContent };
    for (const id of ["received-rate", "written-rate", "merge-ratio", "db"])
      out[id] = { value: document.getElementById(id).textContent };
    return out;
  });

  await page.waitForFunction(() => document.getElementById("up").dataset.value === "1" &&
    document.getElementById("received-rate").textContent !== "–", { timeout: 20000 });
  check("the page shows a running zel", true);
  const first = await values();
  await waitReadings(3);
  const later = await values();
  const n = (v, id) => Number(v[id].value);
  check("received messages move", n(later, "received") > n(first, "received"),
    `${n(first, "received")} then ${n(later, "received")}`);
  check("written statements move", n(later, "written") > n(first, "written"),
    `${n(first, "written")} then ${n(later, "written")}`);
  check("a received rate is shown", Number(later["received-rate"].value.replace(/,/g, "")) > 0,
    later["received-rate"].value);
  check("a merge ratio is shown", / %$/.test(later["merge-ratio"].value), later["merge-ratio"].value);
  check("the feed shows connected", later.feed.value === "1" && later.feed.text === "connected");

  // Frozen: two readings later at least one was taken wholly during the freeze.
  process.kill(zelPid, "SIGSTOP");
  while (!stopped()) await sleep(50);
  await waitReadings(2);
  const shown = await values();
  const status = {};
  for (const line of execFileSync(zel, ["--status", "--map-name=" + mapName], { encoding: "utf8" }).split("\n")) {
    const at = line.indexOf(": ");
    if (at > 0) status[line.slice(0, at)] = line.slice(at + 2);
  }
  const pairs = {
    "received-messages": "received", "connected-to-feed": "feed", "deduplicated-messages": "merged",
    "database-updates-ok": "written", "database-updated-failed": "failed",
    "database-updates-queued": "queued", "running": "up", "version": "version",
    "feed-paused": "feed-paused", "queued-memory-bytes": "queued-bytes",
  };
  for (let q = 1; q <= 4; q++) {
    pairs[`q${q}-queue`] = `q${q}-queued`; pairs[`q${q}-empty-items`] = `q${q}-empty`;
    pairs[`q${q}-updated`] = `q${q}-updated`; pairs[`q${q}-deduplicated`] = `q${q}-deduplicated`;
    pairs[`q${q}-failed`] = `q${q}-failed`;
  }
  let compared = 0;
  for (const [line, id] of Object.entries(pairs)) {
    check(`${line} as --status prints it`, shown[id] && shown[id].value === status[line],
      `page ${shown[id] && shown[id].value}, --status ${status[line]}`);
    // The text shown is the same number, only grouped with commas.
    if (shown[id] && shown[id].text !== undefined && id !== "up" && id !== "feed")
      check(`${line} shown as that number`, shown[id].text.replace(/,/g, "") === status[line], shown[id].text);
    compared++;
  }
  const pair = (a, b) => `${shown[a].value}/${shown[b].value}`;
  check("instrument-hash-size as --status prints it",
    pair("instruments", "hash-size") === status["instrument-hash-size"], pair("instruments", "hash-size"));
  check("templates-version as --status prints it",
    pair("templates-loaded", "templates-feed") === status["templates-version"], pair("templates-loaded", "templates-feed"));
  check("every --status line compared", compared + 2 === Object.keys(status).length,
    `${compared + 2} of ${Object.keys(status).length}`);
  check("the frozen values are not all zero", Number(status["database-updates-ok"]) > 0);
  check("while frozen the written rate is 0", shown["written-rate"].value === "0.0", shown["written-rate"].value);
  process.kill(zelPid, "SIGCONT");

  await waitReadings(3);
  await page.screenshot({ path: shotPrefix + "-running.png", fullPage: true });
  const thawed = await values();
  check("the numbers move again after the thaw", n(thawed, "written") > n(shown, "written"));

  // zel ends: the page says it is not running.
  process.kill(zelPid, "SIGTERM");
  await page.waitForFunction(() => document.getElementById("up").dataset.value === "0", { timeout: 30000 });
  await waitReadings(1);
  const ended = await values();
  check("after zel ended the page says it is not running", ended.feed.value === "0" &&
    await page.evaluate(() => document.getElementById("up").textContent) === "not running");
  check("... and shows no invented zeros", ended.received.text === "–" && ended["q1-queued"].text === "–",
    `${ended.received.text} ${ended["q1-queued"].text}`);
  await page.screenshot({ path: shotPrefix + "-stopped.png", fullPage: true });
} catch (e) {
  check("the page test ran to its end", false, e.stack || String(e));
} finally {
  await browser.close();
}
check("no console errors, failed requests or error responses", problems.length === 0, problems.join("; "));
process.exit(failures ? 1 : 0);
