// `ka serve` replicas behind HAProxy (deploy/haproxy.cfg as shipped), in Debian's chromium on
// 127.0.0.1: three replicas of two sessions each; six pages talk at once, two per replica; a
// seventh is refused with the page's message; a replica sent SIGTERM lets its visitors finish
// their utterance while new visitors go to the others; a killed replica's visitors see the
// reconnect message and come back on a live replica. Exit 77: skipped.
//
// Environment: KA_ROOT, KA_CORE_LIBRARY, KA_PYTHON, KA_CHROMIUM (as serve_test.mjs), KA_HAPROXY
// (default: haproxy on the PATH).
import { spawn, spawnSync } from "node:child_process";
import { connect, createServer } from "node:net";
import { existsSync, mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import assert from "node:assert/strict";

const SKIP = 77;
const root = process.env.KA_ROOT;
const python = process.env.KA_PYTHON || "/usr/bin/python3";
const chromiumPath = process.env.KA_CHROMIUM || "/usr/bin/chromium";
const haproxy = process.env.KA_HAPROXY || "haproxy";
const DRAIN_SECONDS = 40;

function skip(why) { console.log(`SKIP: ${why}`); process.exit(SKIP); }
if (!existsSync(chromiumPath)) skip(`no chromium at ${chromiumPath}`);
if (spawnSync(haproxy, ["-v"]).status !== 0) skip("haproxy is missing (Debian haproxy)");
let chromium;
try { ({ chromium } = await import("playwright-core")); } catch { skip("playwright-core is not installed (scripts/setup.sh runs npm ci)"); }
if (spawnSync(python, ["-c", "import aiohttp, PIL, numpy"]).status !== 0) skip(`${python} lacks aiohttp, Pillow or numpy`);
if (spawnSync("espeak-ng", ["--version"]).status !== 0) skip("espeak-ng is missing");

const work = mkdtempSync(join(tmpdir(), "ka-replicas-test-"));
const procs = [];
let browser = null;
const watchdog = setTimeout(() => { console.error("FAIL: the test ran out of time"); cleanup(); process.exit(1); }, 540_000);
function cleanup() {
  for (const p of procs) if (p.exitCode === null && p.signalCode === null) p.kill("SIGKILL");
  rmSync(work, { recursive: true, force: true });
}
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const exited = (p) => new Promise((r) => (p.exitCode !== null || p.signalCode !== null ? r(p.exitCode ?? p.signalCode)
  : p.on("exit", (c, s) => r(c ?? s))));

function run(cmd, args) {
  const r = spawnSync(cmd, args, { stdio: "ignore", timeout: 180_000 });
  assert.equal(r.status, 0, `${cmd} ${args.join(" ")} failed`);
}

function freePort() {
  return new Promise((resolve) => {
    const s = createServer().listen(0, "127.0.0.1", () => { const { port } = s.address(); s.close(() => resolve(port)); });
  });
}

// A replica on any free port; resolves once it listens for visitors and for the agent check.
function startReplica(bundle, w2v, label, front) {
  const p = spawn(python, ["-m", "ka_core.serve", bundle, "--motion", bundle, "--w2v", w2v, "--port", "0",
                           "--agent-port", "0", "--max-sessions", "2", "--drain-seconds", String(DRAIN_SECONDS),
                           "--jpeg-quality", "40", "--threads", "1",
                           "--allow-origin", `http://127.0.0.1:${front}`], { // the balancer's address is the page's
    env: { ...process.env, PYTHONPATH: join(root, "python") }, stdio: ["ignore", "pipe", "pipe"],
  });
  procs.push(p);
  const r = { proc: p, label, log: "", out: "" };
  p.stderr.on("data", (d) => { r.log = (r.log + d).slice(-6000); });
  return new Promise((resolve, reject) => {
    const t = setTimeout(() => reject(new Error(`${label} did not start in 150 s`)), 150_000);
    p.stdout.on("data", (d) => {
      r.out += d;
      const web = r.out.match(/ka serve: http:\/\/127\.0\.0\.1:(\d+)\//), agent = r.out.match(/agent check on [\d.]+:(\d+)/);
      if (web && agent && !r.port) {
        clearTimeout(t);
        Object.assign(r, { port: Number(web[1]), agent: Number(agent[1]), url: `http://127.0.0.1:${web[1]}/` });
        resolve(r);
      }
    });
    p.on("exit", (code) => reject(new Error(`${label} exited (${code}) before listening:\n${r.log}`)));
  });
}

const status = async (r) => (await fetch(r.url + "status")).json();
const ready = async (r) => (await fetch(r.url + "ready")).status;
function agentSays(r) {
  return new Promise((resolve, reject) => {
    const c = connect(r.agent, "127.0.0.1");
    let got = "";
    c.on("data", (d) => { got += d; });
    c.on("end", () => resolve(got.trim()));
    c.on("error", reject);
  });
}
async function until(what, test, ms) {
  const t0 = Date.now();
  for (;;) {
    if (await test()) return Date.now() - t0;
    assert.ok(Date.now() - t0 < ms, `${what}: not within ${ms} ms`);
    await sleep(100);
  }
}

const ka = (page) => page.evaluate(() => JSON.parse(JSON.stringify(window.ka)));
async function visit(context, url) {
  const page = await context.newPage();
  page.on("pageerror", (e) => console.error(`[page] ${e.message}`));
  await page.goto(url, { timeout: 60_000 });
  return page;
}
const connected = (page) => page.waitForFunction(() => window.ka.state === "connected", null, { timeout: 120_000 });
const where = async (page) => (await ka(page)).replica;
// The page's file picker: the sentence at real-time pace, then the end of the utterance.
async function talk(page, wav) {
  const before = (await ka(page)).frames.speech;
  await page.evaluate(() => { document.getElementById("file").value = ""; }); // the same file again is a change
  await page.setInputFiles("#file", wav);
  await page.waitForFunction((n) => window.ka.frames.speech > n + 2, before, { timeout: 120_000 });
}

let replicas = [];
try {
  const forge = join(root, "tools/forge/forge.py");
  run(python, [forge, "demo", join(work, "demo"), "--crop", "128", "--nt", "10", "--frames", "20"]);
  run(python, [forge, "a2x", join(work, "demo/bundle"), join(work, "demo/w2v")]);
  const wav = join(work, "speech.wav");
  run("espeak-ng", ["-w", wav, "Hello! I am one of three replicas."]);
  const bundle = join(work, "demo/bundle"), w2v = join(work, "demo/w2v/w2v.onnx");
  replicas = [];
  const front = await freePort();
  for (const label of ["r1", "r2", "r3"]) replicas.push(await startReplica(bundle, w2v, label, front)); // one at a time: 2 cores

  const env = { ...process.env, KA_BIND: `127.0.0.1:${front}` };
  replicas.forEach((r, i) => { env[`KA_R${i + 1}`] = `127.0.0.1:${r.port}`; env[`KA_A${i + 1}`] = String(r.agent); });
  const lb = spawn(haproxy, ["-db", "-f", join(root, "deploy/haproxy.cfg")], { env, stdio: ["ignore", "ignore", "pipe"] });
  procs.push(lb);
  let lbLog = "";
  lb.stderr.on("data", (d) => { lbLog = (lbLog + d).slice(-4000); });
  const url = `http://127.0.0.1:${front}/`;
  await until("HAProxy serves the page", async () => (await fetch(url).catch(() => null))?.status === 200, 20_000);
  for (const r of replicas) {
    assert.equal(await agentSays(r), "up 100%");
    assert.equal(await ready(r), 200);
  }
  const figures = {};

  const context = await chromium.launchPersistentContext(join(work, "profile"), {
    executablePath: chromiumPath, headless: true, chromiumSandbox: false, timeout: 60_000,
    viewport: { width: 640, height: 480 },
    args: ["--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync"],
  });
  browser = context;

  // Six visitors: two per replica, whatever order they came in.
  const pages = [];
  for (let i = 0; i < 6; i++) {
    const p = await visit(context, url);
    await connected(p);
    pages.push(p);
  }
  const byReplica = new Map(replicas.map((r) => [r.proc.pid, []]));
  for (const p of pages) {
    const pid = Number((await where(p)).split("/").pop());
    assert.ok(byReplica.has(pid), `a page landed on an unknown replica ${pid}`);
    byReplica.get(pid).push(p);
  }
  assert.deepEqual([...byReplica.values()].map((ps) => ps.length), [2, 2, 2], "six visitors are not two per replica");
  for (const r of replicas) {
    r.pages = byReplica.get(r.proc.pid);
    assert.equal((await status(r)).sessions, 2);
    assert.equal(await ready(r), 503, "a full replica said it was ready");
    assert.equal(await agentSays(r), "up 0%");
  }
  // ... and all six talk at once.
  await Promise.all(pages.map((p) => talk(p, wav)));

  // A seventh visitor gets the page and is told every session is taken.
  await sleep(1500); // two agent checks
  const p7 = await visit(context, url);
  await p7.waitForFunction(() => window.ka.state === "refused", null, { timeout: 30_000 });
  assert.match((await ka(p7)).notice, /sessions are in use/);
  assert.ok(await p7.isVisible("#notice"), "the refusal is not shown");
  await p7.close();

  // Drain: r1's visitors are talking when it gets SIGTERM. r2 and r3 are emptied first, so the
  // visitors r1 lets go have somewhere to go.
  const [r1, r2, r3] = replicas;
  for (const p of [...r2.pages, ...r3.pages]) await p.close();
  await until("r2 and r3 empty", async () => (await agentSays(r2)) === "up 100%" && (await agentSays(r3)) === "up 100%", 15_000);
  await sleep(1500);
  await Promise.all(r1.pages.map((p) => talk(p, wav)));
  const marks = await Promise.all(r1.pages.map(async (p) => (await ka(p)).kinds.length));
  const r1Name = await where(r1.pages[0]); // its pages move on once their utterance has played out
  const termAt = Date.now();
  r1.proc.kill("SIGTERM");
  await until("r1 refuses at once", async () => (await ready(r1)) === 503 && (await agentSays(r1)) === "drain", 2000);
  await sleep(1500); // HAProxy hears "drain"
  const newcomer = await visit(context, url);
  await connected(newcomer);
  assert.notEqual(await where(newcomer), r1Name, "a new visitor went to the draining replica");
  // r1's visitors finish their utterance (its end's ramp reaches the page), then go elsewhere.
  for (const [i, p] of r1.pages.entries()) {
    await p.waitForFunction((m) => window.ka.kinds.slice(m).includes("ramp"), marks[i], { timeout: 60_000 });
    const after = (await ka(p)).kinds.slice(marks[i]);
    assert.ok(after.indexOf("speech") >= 0 && after.indexOf("ramp") > after.indexOf("speech"), "the utterance was cut short");
  }
  assert.equal(await exited(r1.proc), 0, "the drained replica did not exit cleanly");
  figures.drain_s = (Date.now() - termAt) / 1000;
  assert.ok(figures.drain_s < DRAIN_SECONDS, "the replica waited out its drain time with no visitor left");
  const moved = r1.pages;
  for (const p of moved) await connected(p);
  const movedTo = await Promise.all(moved.map(where));
  for (const w of movedTo) assert.ok([r2, r3].some((r) => w.endsWith(`/${r.proc.pid}`)), `a drained visitor landed on ${w}`);
  await newcomer.close();

  // A killed replica: its visitors are told the connection is lost and come back on the other.
  const victim = [r2, r3].find((r) => movedTo.some((w) => w.endsWith(`/${r.proc.pid}`)));
  const survivor = victim === r2 ? r3 : r2;
  const orphans = moved.filter((_, i) => movedTo[i].endsWith(`/${victim.proc.pid}`));
  const killedAt = Date.now();
  victim.proc.kill("SIGKILL");
  for (const p of orphans) {
    await p.waitForFunction(() => window.ka.state !== "connected" && document.body.classList.contains("down") &&
      document.getElementById("down-text").textContent !== "", null, { timeout: 10_000, polling: 20 });
  }
  for (const p of orphans) {
    await connected(p);
    assert.ok((await where(p)).endsWith(`/${survivor.proc.pid}`), "a visitor of the killed replica did not reach the live one");
  }
  figures.reconnect_after_kill_ms = Date.now() - killedAt;
  assert.equal((await status(survivor)).sessions, 2);

  console.log("figures " + JSON.stringify(figures));
  await context.close();
  browser = null;
  survivor.proc.kill("SIGTERM");
  assert.equal(await Promise.race([exited(survivor.proc), sleep(15_000).then(() => "hung")]), 0, "the last replica did not stop");
  lb.kill("SIGTERM");
  console.log("PASS");
} catch (e) {
  for (const r of replicas) console.error(`[${r.label} log, last lines]\n${r.log.split("\n").filter((l) => !/onnxruntime|^\[ka/.test(l)).slice(-15).join("\n")}`);
  console.error(`FAIL: ${e.stack || e}`);
  process.exitCode = 1;
} finally {
  if (browser) await browser.close().catch(() => {});
  clearTimeout(watchdog);
  cleanup();
}
