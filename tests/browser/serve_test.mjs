// `ka serve` in a real browser: Debian's chromium, headless, with the fake microphone playing an
// espeak-ng sentence. Everything runs on 127.0.0.1 and stops by itself. Exit 77: skipped.
//
// Environment: KA_ROOT (the repository), KA_CORE_LIBRARY (the built library), KA_PYTHON (a Python
// with numpy, aiohttp, Pillow and PyAV), KA_CHROMIUM (default /usr/bin/chromium), KA_SCREENSHOT (where
// the talking page's screenshot goes; unset: not kept), KA_SCREENSHOT_DIR (where the desktop, phone
// and connection-lost screenshots go; unset: not kept).
import { spawn, spawnSync } from "node:child_process";
import { connect } from "node:net";
import { existsSync, mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import assert from "node:assert/strict";

const SKIP = 77;
const root = process.env.KA_ROOT;
const python = process.env.KA_PYTHON || "/usr/bin/python3";
const chromiumPath = process.env.KA_CHROMIUM || "/usr/bin/chromium";

function skip(why) { console.log(`SKIP: ${why}`); process.exit(SKIP); }
if (!existsSync(chromiumPath)) skip(`no chromium at ${chromiumPath}`);
let chromium;
try { ({ chromium } = await import("playwright-core")); } catch { skip("playwright-core is not installed (scripts/setup.sh runs npm ci)"); }
if (spawnSync(python, ["-c", "import aiohttp, PIL, numpy, av"]).status !== 0) skip(`${python} lacks aiohttp, Pillow, numpy or PyAV`);
if (spawnSync("espeak-ng", ["--version"]).status !== 0) skip("espeak-ng is missing");

const work = mkdtempSync(join(tmpdir(), "ka-serve-test-"));
let server = null, browser = null, serverLog = "";
const figures = {};
const watchdog = setTimeout(() => { console.error("FAIL: the test ran out of time"); cleanup(); process.exit(1); }, 420_000);
function cleanup() {
  if (server && server.exitCode === null) server.kill("SIGKILL");
  rmSync(work, { recursive: true, force: true });
}

function run(cmd, args, opts = {}) {
  const r = spawnSync(cmd, args, { stdio: "inherit", timeout: 180_000, ...opts });
  assert.equal(r.status, 0, `${cmd} ${args.join(" ")} failed`);
}

async function startServer(bundle, w2v, port = 0) {
  server = spawn(python, ["-m", "ka_core.serve", bundle, "--motion", bundle, "--w2v", w2v, "--port", String(port),
                          "--max-sessions", "2"], {
    env: { ...process.env, PYTHONPATH: join(root, "python") }, stdio: ["ignore", "pipe", "pipe"],
  });
  server.stderr.on("data", (d) => { serverLog = (serverLog + d).slice(-20000); }); // shown on failure
  return new Promise((resolve, reject) => {
    const t = setTimeout(() => reject(new Error("the server did not start in 120 s")), 120_000);
    let out = "";
    server.stdout.on("data", (d) => {
      out += d;
      serverLog = (serverLog + d).slice(-20000);
      const m = out.match(/ka serve: (http:\/\/127\.0\.0\.1:\d+\/)/);
      if (m) { clearTimeout(t); resolve(m[1]); }
    });
    server.on("exit", (code) => reject(new Error(`the server exited (${code}) before listening`)));
  });
}

const status = async (url) => (await fetch(url + "status")).json();
const ka = (page) => page.evaluate(() => JSON.parse(JSON.stringify(window.ka)));
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
async function fpsOver(pages, ms) {
  const a = await Promise.all(pages.map(ka));
  await sleep(ms);
  const b = await Promise.all(pages.map(ka));
  return b.map((s, i) => ((s.drawn - a[i].drawn) * 1000) / ms);
}
// Frames per second and downstream Mbit/s of one page over `ms`.
async function rateOver(page, ms) {
  const a = await ka(page), t = Date.now();
  await sleep(ms);
  const b = await ka(page), dt = Date.now() - t;
  return { fps: ((b.drawn - a.drawn) * 1000) / dt, mbit: ((b.rxBytes - a.rxBytes) * 8) / dt / 1000 };
}
const median = (xs) => (xs.length ? [...xs].sort((x, y) => x - y)[xs.length >> 1] : null);
const round1 = (x) => (x === null ? null : Math.round(x * 10) / 10);
async function openPage(context, url) {
  const page = await context.newPage();
  page.on("pageerror", (e) => console.error(`[page] ${e.message}`));
  await page.goto(url, { timeout: 30_000 });
  return page;
}

try {
  // The demo's bundle with audio-to-expression models, and a sentence for the microphone.
  const forge = join(root, "tools/forge/forge.py");
  run(python, [forge, "demo", join(work, "demo")], { stdio: "ignore" });
  run(python, [forge, "a2x", join(work, "demo/bundle"), join(work, "demo/w2v")], { stdio: "ignore" });
  const wav = join(work, "speech.wav");
  // A pause of 900 ms in the middle: the microphone's voice gate ends an utterance there.
  run("espeak-ng", ["-m", "-w", wav, "Hello! I am the demo avatar. <break time=\"900ms\"/> I listen, and then I answer you."]);
  const url = await startServer(join(work, "demo/bundle"), join(work, "demo/w2v/w2v.onnx"));

  const context = await chromium.launchPersistentContext(join(work, "profile"), {
    executablePath: chromiumPath, headless: true, chromiumSandbox: false, timeout: 60_000,
    viewport: { width: 1000, height: 700 },
    args: ["--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
           "--disable-component-update", "--disable-sync", "--use-fake-ui-for-media-stream",
           "--use-fake-device-for-media-stream", `--use-file-for-fake-audio-capture=${wav}`,
           "--autoplay-policy=no-user-gesture-required"],
  });
  browser = context;

  // One visitor: connects, idle frames arrive.
  const p1 = await openPage(context, url);
  await p1.waitForFunction(() => window.ka.state === "connected", null, { timeout: 120_000 });
  await p1.waitForFunction(() => window.ka.frames.idle >= 10, null, { timeout: 30_000 });
  assert.equal((await status(url)).sessions, 1);
  const idle = await rateOver(p1, 4000);
  figures.fps_one_idle = idle.fps;
  figures.mbit_idle = idle.mbit;
  const first = await ka(p1);
  assert.deepEqual(new Set(first.kinds), new Set(["idle"]), "only idle frames before speech");
  assert.equal(first.codec, "h264", "the page did not switch to H.264");
  assert.ok(idle.mbit <= 2.5, `idle stream ${idle.mbit} Mbit/s`);

  // Typed text speaks: its audio reaches the page's playback, with the frames, and the lips move.
  await p1.fill("#say-text", "Hello! I am the demo avatar, and I say what you type.");
  await p1.click("#say");
  await p1.waitForFunction(() => window.ka.frames.speech >= 10, null, { timeout: 60_000 });
  const saying = await rateOver(p1, 3000);
  if (process.env.KA_SCREENSHOT) await p1.screenshot({ path: process.env.KA_SCREENSHOT });
  await p1.waitForFunction(() => window.ka.played >= 16000 && window.ka.kinds.slice(-5).every((k) => k === "idle"),
                           null, { timeout: 60_000 });
  const said = await ka(p1);
  assert.ok(said.frames.speech >= 25, `only ${said.frames.speech} speech frames for the typed text`);
  assert.ok(said.playedPeak > 3000, `the played audio is near silent (peak ${said.playedPeak})`);
  const off = said.av;
  figures.say_mbit = saying.mbit;
  figures.say_fps = saying.fps;
  figures.say_dropped = { server: said.serverDropped, page: said.dropped, decode_ms: round1(median(said.decodeMs)),
                          arrive_to_drawn_ms: round1(median(said.drawMs)) };
  const pct = (q) => round1([...off].sort((x, y) => x - y)[Math.floor(q * (off.length - 1))]);
  figures.av_offset_ms = { median: round1(median(off)), p10: pct(0.1), p90: pct(0.9), min: pct(0), max: pct(1), n: off.length };
  figures.audio_output_latency_ms = said.audioLatencyMs;
  assert.ok(Math.abs(median(off)) <= 40, `audio lands ${median(off)} ms from its frame`);
  assert.ok(saying.mbit <= 2.5, `talking stream ${saying.mbit} Mbit/s`);

  // Speech frames follow the microphone.
  await p1.click("#start");
  await p1.waitForFunction((n) => window.ka.frames.speech >= n + 20 && window.ka.pageFirstFrameMs !== null,
                           said.frames.speech, { timeout: 60_000 });
  const talking = await ka(p1);
  figures.page_first_frame_ms = talking.pageFirstFrameMs;
  figures.session_first_frame_ms = talking.sessionFirstFrameMs;
  figures.server_first_frame_ms = talking.serverFirstFrameMs;
  figures.transport_first_frame_ms = talking.pageFirstFrameMs - talking.serverFirstFrameMs;
  figures.transport_first_frame_parts = talking.firstFrameParts;
  figures.encode_ms_median = median(talking.encodeMs);
  figures.arrive_to_drawn_ms_median = round1(median(talking.drawMs));
  figures.decode_ms_median = round1(median(talking.decodeMs));
  assert.ok(talking.pageFirstFrameMs > 0 && talking.sessionFirstFrameMs > 0 && talking.serverFirstFrameMs > 0,
            "latencies measured");
  // The page's clock starts before the server's: a smaller page figure belongs to another utterance.
  assert.ok(talking.pageFirstFrameMs >= talking.serverFirstFrameMs,
            `page ${talking.pageFirstFrameMs} ms < server ${talking.serverFirstFrameMs} ms`);
  const mic = await rateOver(p1, 4000);
  figures.fps_one_talking = mic.fps;
  figures.mbit_mic = mic.mbit;
  assert.equal((await ka(p1)).played, said.played, "the microphone must not play back");
  // The voice gate: the pause ends the sentence, the face rests, the next sentence is a new utterance.
  const ramps = (await ka(p1)).frames.ramp;
  await p1.waitForFunction((r) => window.ka.vadEnds >= 1 && window.ka.frames.ramp > r, ramps, { timeout: 30_000 });

  // Interrupt: the waiting frames go, a ramp shows, then idle without any more speech.
  await p1.waitForFunction(() => window.ka.kinds.at(-1) === "speech", null, { timeout: 30_000 });
  await p1.click("#interrupt");
  await p1.waitForFunction(() => window.ka.interrupts.length === 1, null, { timeout: 5000 });
  await p1.waitForFunction(() => {
    const at = window.ka.interrupts[0].at, after = window.ka.kinds.slice(at);
    const r = after.indexOf("ramp");
    return r >= 0 && after.slice(r).includes("idle");
  }, null, { timeout: 10_000 });
  await sleep(1000);
  const after = await ka(p1);
  const tail = after.kinds.slice(after.kinds.indexOf("ramp", after.interrupts[0].at));
  assert.ok(!tail.includes("speech"), `speech after the interrupt's ramp: ${tail.join(",")}`);
  assert.equal(after.interrupts[0].waiting, 0, "the interrupt left frames waiting");

  // The layout: on a desktop and on a phone the whole face shows, the diagnostics fold away below it
  // and never cover it, and nothing scrolls sideways.
  const shots = process.env.KA_SCREENSHOT_DIR;
  for (const [name, viewport] of [["desktop", { width: 1280, height: 800 }], ["phone", { width: 390, height: 844 }]]) {
    await p1.setViewportSize(viewport);
    await p1.evaluate(() => { document.getElementById("diagnostics").open = true; });
    const box = await p1.evaluate(() => {
      const r = (id) => document.getElementById(id).getBoundingClientRect().toJSON();
      return { canvas: r("view"), diag: r("diagnostics"), controls: r("controls"),
               scroll: document.documentElement.scrollWidth, width: window.innerWidth };
    });
    assert.ok(box.scroll <= box.width, `${name}: the page scrolls sideways (${box.scroll} > ${box.width})`);
    assert.ok(box.canvas.left >= 0 && box.canvas.right <= box.width, `${name}: the face is cut off`);
    assert.ok(box.diag.top >= box.canvas.bottom, `${name}: the diagnostics cover the face`);
    assert.ok(box.controls.right <= box.width, `${name}: the controls run off the page`);
    if (shots) await p1.screenshot({ path: join(shots, `serve_${name}.png`), fullPage: true });
  }
  await p1.evaluate(() => { document.getElementById("diagnostics").open = false; });
  await p1.setViewportSize({ width: 1000, height: 700 });

  // Another site's page may not open a session.
  const port = Number(new URL(url).port);
  const upgrade = (extra = "") => `GET /ws HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\nUpgrade: websocket\r\n` +
    `Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n${extra}\r\n`;
  const foreign = connect(port, "127.0.0.1");
  foreign.write(upgrade("Origin: http://example.invalid\r\n"));
  const reply = await new Promise((resolve, reject) => {
    foreign.once("data", (d) => resolve(String(d)));
    foreign.once("error", reject);
    setTimeout(() => reject(new Error("no reply to a foreign origin")), 5000);
  });
  foreign.destroy();
  assert.match(reply, /^HTTP\/1\.1 403/);

  // A client that stops reading: its frames are dropped (one encoded frame waits at most), and once
  // it has read nothing for 10 s it is cut off and its session closed, though its socket stays open.
  const slow = connect(port, "127.0.0.1");
  slow.on("error", () => {});
  slow.write(upgrade());
  slow.pause();
  const slowSince = Date.now();
  let slowSeen = false;
  for (;;) {
    const n = (await status(url)).sessions;
    slowSeen ||= n === 2;
    if (slowSeen && n === 1) break;
    assert.ok(Date.now() - slowSince < 60_000, "a client that does not read kept its session");
    await sleep(200);
  }
  figures.slow_client_cut_off_s = (Date.now() - slowSince) / 1000;
  slow.destroy();
  figures.slow_client_dropped = (await status(url)).frames_dropped;

  // Two visitors, two sessions, both talking; a third is refused with a message on the page.
  const p2 = await openPage(context, url);
  await p2.waitForFunction(() => window.ka.state === "connected", null, { timeout: 120_000 });
  assert.equal((await status(url)).sessions, 2);
  assert.notEqual((await ka(p2)).session, (await ka(p1)).session);
  await p1.click("#start");
  await p2.click("#start");
  await p2.waitForFunction(() => window.ka.frames.speech >= 10, null, { timeout: 60_000 });
  figures.fps_two_talking = await fpsOver([p1, p2], 4000);
  const p3 = await openPage(context, url);
  await p3.waitForFunction(() => window.ka.state === "refused", null, { timeout: 10_000 });
  assert.match((await ka(p3)).notice, /sessions are in use/);
  assert.equal((await status(url)).sessions, 2);
  await p3.close(); // it would try again and take the next free session

  // A reload while connected, every session in use: the page's own old session never refuses it.
  await p2.reload();
  await p2.waitForFunction(() => window.ka.state === "connected" && window.ka.drawn > 5, null, { timeout: 60_000 });
  assert.equal((await status(url)).sessions, 2);

  // Closing a page frees its session at once.
  await p2.close();
  const closed = Date.now();
  while ((await status(url)).sessions !== 1) {
    assert.ok(Date.now() - closed < 5000, "the closed page's session was not freed");
    await sleep(50);
  }
  figures.free_after_close_ms = Date.now() - closed;
  const p4 = await openPage(context, url + "?video=jpeg"); // the fallback when WebCodecs is missing
  await p4.waitForFunction(() => window.ka.state === "connected", null, { timeout: 120_000 });
  assert.equal((await status(url)).sessions, 2);

  // A WAV from the file picker instead of the microphone: speech, then the end's ramp, then idle;
  // and it is heard. While it is sent the microphone cannot start (and the other way round).
  await p4.setInputFiles("#file", wav);
  await p4.waitForFunction(() => window.ka.state === "sending file", null, { timeout: 10_000 });
  assert.ok(await p4.isDisabled("#start"), "Start is on while a file is sent");
  assert.ok(await p4.isDisabled("#file"), "the file picker is on while a file is sent");
  const jpeg = await rateOver(p4, 3000);
  figures.jpeg_fallback = { mbit: jpeg.mbit, fps: jpeg.fps };
  await p4.waitForFunction(() => {
    const k = window.ka.kinds, s = k.indexOf("speech"), r = k.indexOf("ramp", s);
    return s >= 0 && r > s && k.indexOf("idle", r) > r;
  }, null, { timeout: 60_000 });
  const wavPlayed = await ka(p4);
  assert.equal(wavPlayed.codec, "jpeg");
  assert.ok(wavPlayed.played >= 16000 && wavPlayed.playedPeak > 3000, `the WAV was not heard: ${wavPlayed.played} samples`);

  assert.ok(!(await p4.isDisabled("#start")), "Start stays off after the file was sent");
  await p4.click("#start");
  assert.ok(await p4.isDisabled("#file"), "the file picker is on while the microphone is");
  await p4.click("#stop");

  // The server goes away (stopped at once: SIGTERM would drain, letting the talkers finish): the page
  // says so at once (dimmed picture, a message) and comes back by itself when the server is up again.
  const port0 = Number(new URL(url).port);
  const before = await ka(p4);
  server.kill("SIGINT");
  await new Promise((r) => server.on("exit", r));
  const lostAt = Date.now();
  await p4.waitForFunction(() => window.ka.state === "reconnecting" && document.body.classList.contains("down"),
                           null, { timeout: 5000 });
  figures.lost_shown_ms = Date.now() - lostAt;
  assert.match(await p4.textContent("#down-text"), /Connection lost/);
  if (shots) await p4.screenshot({ path: join(shots, "serve_lost.png") });
  await startServer(join(work, "demo/bundle"), join(work, "demo/w2v/w2v.onnx"), port0);
  const restarted = Date.now();
  await p4.waitForFunction((n) => window.ka.state === "connected" && window.ka.drawn > n + 10, before.drawn,
                           { timeout: 120_000 });
  figures.reconnect_after_restart_ms = Date.now() - restarted;
  assert.ok(!(await p4.evaluate(() => document.body.classList.contains("down"))), "still dimmed after reconnecting");

  console.log("figures " + JSON.stringify(figures));
  await context.close();
  browser = null;
  server.kill("SIGTERM");
  const code = await Promise.race([new Promise((r) => server.on("exit", (c, s) => r(c ?? s))), sleep(10_000).then(() => "hung")]);
  assert.notEqual(code, "hung", "the server did not stop on SIGTERM");
  console.log("PASS");
} catch (e) {
  console.error(`[server log, last lines]\n${serverLog}\nfigures so far ${JSON.stringify(figures)}\nFAIL: ${e.stack || e}`);
  process.exitCode = 1;
} finally {
  if (browser) await browser.close().catch(() => {});
  clearTimeout(watchdog);
  cleanup();
}
