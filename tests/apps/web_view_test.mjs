// vorel-monitor --http in headless Chromium (playwright-core driving Debian's
// /usr/bin/chromium) while vorel-sim runs force control: the page plots the
// recorder's cycles, the last filtered fz it shows is the recorder's value
// for that cycle (read from the ring's shared-memory object itself), writes
// are refused and change nothing, a stopped host and a re-activation show on
// the page. Run by CTest (tests/apps/CMakeLists.txt) with VOREL_SIM,
// VOREL_MONITOR, VOREL_WEB_DIR (where npm installed playwright-core) and
// VOREL_SCREENSHOT.
import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import fs from "node:fs";
import { createRequire } from "node:module";
import os from "node:os";
import path from "node:path";
import { test } from "node:test";

const env = (name) => {
  const value = process.env[name];
  assert.ok(value, `${name} is not set`);
  return value;
};
const { chromium } = createRequire(path.join(env("VOREL_WEB_DIR"), "package.json"))("playwright-core");
const RING = "/dev/shm/VorelForceControlRecorder";
const CHROMIUM_ARGS = ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync"];

// A child process whose output is collected; `ended` resolves with its exit.
function run(argv, cwd) {
  const child = spawn(argv[0], argv.slice(1), { cwd, stdio: ["ignore", "pipe", "pipe"] });
  const p = { child, out: "", err: "" };
  child.stdout.on("data", (d) => { p.out += d; });
  child.stderr.on("data", (d) => { p.err += d; });
  p.ended = new Promise((resolve) => child.on("exit", (code, signal) => resolve({ code, signal })));
  return p;
}

// Polls `check` until it gives a value; on time-out the error says what was
// awaited and what `detail()` tells (the processes' output).
async function until(what, check, detail = () => "", seconds = 30) {
  const end = Date.now() + seconds * 1000;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}\n${detail()}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

// The ring's record of force-control cycle `cycle`, read as the device wrote
// it (layout: comm/force_control_recorder.h): its filtered fz.
function recorderFilteredFz(cycle) {
  const ring = fs.readFileSync(RING);
  assert.equal(ring.readUInt32LE(0), 0x52434656, "recorder magic");
  assert.equal(ring.readUInt32LE(4), 1, "recorder layout version");
  assert.equal(ring.readUInt32LE(8), 392, "record size");
  const capacity = ring.readUInt32LE(12);
  const slotSize = Number(ring.readBigUInt64LE(16));
  for (let slot = 0; slot < capacity; ++slot) {
    const at = 64 + slot * slotSize;
    const sequence = ring.readBigUInt64LE(at);
    if (sequence % 2n === 0n && sequence > 0n && ring.readBigUInt64LE(at + 8) === BigInt(cycle)) {
      // record: cycle, time, monotonic ns, then raw, compensated, tool and
      // filtered wrenches of six doubles: filtered fz at 24 + 3 * 48 + 16.
      return ring.readDoubleLE(at + 8 + 184);
    }
  }
  throw new Error(`cycle ${cycle} is not in the ring`);
}

const lastShown = (page) => page.evaluate(() => {
  const last = document.getElementById("last");
  return { ...last.dataset, text: last.textContent };
});
const textOf = (page, id) => page.evaluate((i) => document.getElementById(i).textContent, id);

test("vorel-monitor --http beside a force-control run", { timeout: 150_000 }, async (t) => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "vorel-web-"));
  // programs/hold.prog's force control, held until the test ends the program
  // with Ctrl-C (SIGINT) as an operator would.
  const program = path.join(dir, "press.prog");
  fs.writeFileSync(program, [
    "tareSensor", "addFilter smooth lowpass 0 0 20 0 0",
    "setEnabledAxes false false true false false false", "setForceControlGains 5 5 0.01",
    "setForceTrackValue 0 0 -10", "activateForceControl true false", "wait 600", "",
  ].join("\n"));
  const sim = run([env("VOREL_SIM"), "--program", program], dir);
  let monitor;
  let browser;
  t.after(async () => {
    if (browser) await browser.close();
    for (const p of [sim, monitor]) if (p && p.child.exitCode === null) p.child.kill("SIGKILL");
    fs.rmSync(dir, { recursive: true, force: true });
  });

  // The monitor attaches once the device has made its ring and written to it.
  const url = await until("the monitor to serve", async () => {
    if (!fs.existsSync(RING)) return null;
    monitor = run([env("VOREL_MONITOR"), "--http", "127.0.0.1:0"]);
    const serving = await until("the monitor's first line", () =>
      monitor.err.includes("\n") || monitor.child.exitCode !== null);
    const m = serving && /serving the live view of VorelForceControlRecorder on (http:\S+)/.exec(monitor.err);
    if (m) return m[1];
    await monitor.ended;
    return null;
  });

  browser = await chromium.launch({ executablePath: "/usr/bin/chromium", args: CHROMIUM_ARGS });
  const page = await browser.newPage({ viewport: { width: 1400, height: 1000 } });
  const pageErrors = [];
  page.on("pageerror", (e) => pageErrors.push(String(e)));
  // The refused writes below are the only failed requests expected.
  page.on("console", (m) => {
    if (m.type() === "error" && !m.text().includes("status of 405 (Method Not Allowed)")) pageErrors.push(m.text());
  });
  await page.goto(url);

  await t.test("the plot receives cycles; its last fz is the recorder's for that cycle", async () => {
    await until("force control active on the page with 2 s of rows", async () =>
      (await textOf(page, "fc-state")).startsWith("active") &&
      Number((await lastShown(page)).received) >= 200);
    const before = Number((await lastShown(page)).cycle);
    await until("newer cycles", async () => Number((await lastShown(page)).cycle) > before + 50);
    const shown = await lastShown(page);
    const fz = recorderFilteredFz(Number(shown.cycle));
    assert.equal(Number(shown.fz), fz, `cycle ${shown.cycle}`);
    assert.ok(shown.text.includes(`filtered fz ${fz.toFixed(3)} N`), shown.text);
    assert.equal(await textOf(page, "recorder"), "recorder: advancing");
    assert.match(await textOf(page, "usable"), /^[1-9][0-9]*$/);
    assert.deepEqual(pageErrors, []);
    await page.screenshot({ path: env("VOREL_SCREENSHOT") });
  });

  await t.test("writes are refused and change nothing", async () => {
    for (const method of ["POST", "PUT", "DELETE", "PATCH"]) {
      const answer = await page.evaluate(async (m) => {
        const r = await fetch("/", { method: m, body: "deactivateForceControl" });
        return { status: r.status, allow: r.headers.get("allow"), text: await r.text() };
      }, method);
      assert.deepEqual(answer, {
        status: 405, allow: "GET, HEAD",
        text: "refused: vorel-monitor only reads the force-control recorder; it changes nothing "
          + "in the device\n",
      }, method);
    }
    const reply = await page.evaluate(() => new Promise((resolve, reject) => {
      const ws = new WebSocket(`ws://${location.host}/ws`);
      ws.onopen = () => ws.send(JSON.stringify({ call: "deactivateForceControl" }));
      ws.onmessage = (e) => {
        const m = JSON.parse(e.data);
        if (m.type === "refused") { ws.close(); resolve(m); }
      };
      ws.onerror = () => reject(new Error("WebSocket error"));
    }));
    assert.equal(reply.message,
      "refused: vorel-monitor only reads the force-control recorder; it changes nothing in the device");
    // Force control goes on, and the monitor could not have written: it maps
    // the ring read-only and neither the shared segment nor the named mutex.
    const cycle = Number((await lastShown(page)).cycle);
    await until("more cycles", async () => Number((await lastShown(page)).cycle) > cycle + 50);
    assert.ok((await textOf(page, "fc-state")).startsWith("active"));
    const maps = fs.readFileSync(`/proc/${monitor.child.pid}/maps`, "utf8").split("\n");
    const ringMaps = maps.filter((l) => l.endsWith("/VorelForceControlRecorder"));
    assert.ok(ringMaps.length > 0 && ringMaps.every((l) => l.split(/\s+/)[1] === "r--s"), ringMaps.join("\n"));
    assert.deepEqual(maps.filter((l) => /VorelFrameSharedMemory|VorelNamedMutex/.test(l)), []);
  });

  await t.test("a stopped host, then a re-activation, show on the page", async () => {
    sim.child.kill("SIGINT");
    const first = await sim.ended;
    assert.equal(first.code, 130, sim.out.slice(-2000) + sim.err);
    await until("the page to say the recorder stopped", async () =>
      (await textOf(page, "recorder")).startsWith(
        "recorder: STOPPED: the force-control recorder is not advancing (last record"));
    const stoppedAt = Number((await lastShown(page)).cycle);

    const second = run([env("VOREL_SIM"), "--scenario", "hold"], dir);
    await until("the page to follow the new ring", async () =>
      (await textOf(page, "notice")) ===
        "the force-control recorder was created anew (a new activation); now watching the new one" &&
      (await textOf(page, "recorder")) === "recorder: advancing" &&
      Number((await lastShown(page)).cycle) < stoppedAt,
    () => `monitor:\n${monitor.err}\nvorel-sim:\n${second.out.slice(-3000)}${second.err}`);
    const ended = await second.ended;
    assert.equal(ended.code, 0, second.out.slice(-2000) + second.err);
    assert.ok(second.out.includes("result: PASS"));
    assert.deepEqual(pageErrors, []);
  });

  monitor.child.kill("SIGINT");
  assert.equal((await monitor.ended).code, 0, monitor.err);
});
