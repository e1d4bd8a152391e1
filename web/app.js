// ka serve's page: sends 16 kHz int16 audio in 20 ms messages, draws the frames as they arrive.
// Frame messages: 4-byte little-endian header length, the JSON record, then the JPEG.
"use strict";

const $ = (id) => document.getElementById(id);
const canvas = $("view");
const g = canvas.getContext("2d");

// Read by the browser tests; also handy in the console.
const ka = (window.ka = {
  state: "connecting", session: 0, frames: { idle: 0, speech: 0, ramp: 0 }, kinds: [],
  pageFirstFrameMs: null, sessionFirstFrameMs: null, serverFirstFrameMs: null,
  fps: 0, drawn: 0, dropped: 0, audioSent: 0, interrupts: [], notice: "", connects: 0, lostAt: null,
});

let ws = null, audio = null, t0 = null, drawTimes = [], busy = false, pending = null;

function setState(s) { ka.state = s; $("o-state").textContent = s; $("state").textContent = STATE_TEXT[s] || s; }
function notice(text) { ka.notice = text; $("notice").textContent = text; $("notice").hidden = !text; }
const STATE_TEXT = { connecting: "Connecting…", connected: "Live", listening: "Listening", "sending file": "Sending a file",
                     reconnecting: "Connection lost", refused: "Server full" };

// Controls: Start (microphone) and the file picker are one source at a time; while either runs, both
// are off and Stop is on.
function enable(on) {
  for (const id of ["start", "interrupt", "file"]) $(id).disabled = !on;
}
function sourceBusy(busy) {
  const open = !!ws && ws.readyState === WebSocket.OPEN;
  $("start").disabled = busy || !open;
  $("file").disabled = busy || !open;
  $("stop").disabled = !busy;
}

// The connection: a lost socket, or one that brings no picture for STALL_MS, shows at once (the
// picture dims, a message says so) and the page connects again, waiting a little longer each time.
const STALL_MS = 5000, BACKOFF_MS = [500, 1000, 2000, 4000, 8000];
let retries = 0, retryTimer = null, lastMessage = 0, streaming = false;

function connect() {
  clearTimeout(retryTimer);
  streaming = false; // until this socket's hello
  if (ka.state !== "refused") setState(ka.connects ? "reconnecting" : "connecting");
  const sock = (ws = new WebSocket(`${location.protocol === "https:" ? "wss" : "ws"}://${location.host}/ws`));
  ka.connects++;
  sock.binaryType = "arraybuffer";
  sock.onmessage = (e) => {
    if (sock !== ws) return;
    lastMessage = performance.now();
    if (typeof e.data === "string") onControl(JSON.parse(e.data)); else onFrame(e.data);
  };
  sock.onclose = () => { if (sock === ws) lost(); };
}

function lost() {
  ws = null;
  streaming = false;
  enable(false);
  stopAudio();
  document.body.classList.add("down");
  if (ka.lostAt === null) ka.lostAt = performance.now();
  const wait = BACKOFF_MS[Math.min(retries++, BACKOFF_MS.length - 1)];
  if (ka.state !== "refused") {
    setState("reconnecting");
    $("down-text").textContent = `Connection lost. Trying again in ${(wait / 1000).toFixed(1)} s…`;
  } else {
    $("down-text").textContent = "Every session is in use. Trying again…";
  }
  retryTimer = setTimeout(connect, ka.state === "refused" ? Math.max(wait, 4000) : wait);
}

function up() {
  streaming = true;
  retries = 0;
  ka.lostAt = null;
  document.body.classList.remove("down");
  notice("");
}

setInterval(() => { // no picture for a while on an open socket: the connection is gone
  if (streaming && performance.now() - lastMessage > STALL_MS) {
    const sock = ws;
    lost();
    sock.close();
  }
}, 500);

function onControl(m) {
  if (m.type === "hello") {
    canvas.width = m.width;
    canvas.height = m.height;
    ka.session = m.session;
    ka.replica = m.replica;
    up();
    setState("connected");
    enable(true);
    sourceBusy(false);
  } else if (m.type === "refused") {
    setState("refused");
    notice(m.message);
  } else if (m.type === "interrupted") {
    ka.interrupts.push({ at: ka.kinds.length, dropped: m.dropped, waiting: m.waiting });
  } else if (m.type === "error") {
    notice(m.message);
  }
}

function onFrame(buf) {
  const n = new DataView(buf).getUint32(0, true);
  const rec = JSON.parse(new TextDecoder().decode(new Uint8Array(buf, 4, n)));
  const jpeg = new Blob([new Uint8Array(buf, 4 + n)], { type: "image/jpeg" });
  // Draw the newest frame only: one decode at a time, later arrivals replace the waiting one.
  if (busy) { if (pending) ka.dropped++; pending = { rec, jpeg }; return; }
  draw(rec, jpeg);
}

async function draw(rec, jpeg) {
  busy = true;
  try {
    const bmp = await createImageBitmap(jpeg);
    g.drawImage(bmp, 0, 0, canvas.width, canvas.height);
    bmp.close();
    shown(rec);
  } finally {
    busy = false;
    if (pending) { const p = pending; pending = null; draw(p.rec, p.jpeg); }
  }
}

function shown(rec) {
  const now = performance.now();
  ka.drawn++;
  ka.frames[rec.kind] = (ka.frames[rec.kind] || 0) + 1;
  ka.kinds.push(rec.kind);
  if (ka.kinds.length > 2000) ka.kinds.splice(0, 1000);
  if (rec.kind === "speech" && t0 !== null) {
    ka.pageFirstFrameMs = now - t0;
    ka.sessionFirstFrameMs = rec.stats.first_frame_latency_ms;
    ka.serverFirstFrameMs = rec.server_first_frame_ms ?? null;
    t0 = null;
    $("o-page-lat").textContent = ka.pageFirstFrameMs.toFixed(0) + " ms";
    $("o-sess-lat").textContent = ka.sessionFirstFrameMs.toFixed(0) + " ms";
  }
  drawTimes.push(now);
  while (drawTimes.length && now - drawTimes[0] > 2000) drawTimes.shift();
  ka.fps = drawTimes.length > 1 ? ((drawTimes.length - 1) * 1000) / (now - drawTimes[0]) : 0;
  $("o-fps").textContent = ka.fps.toFixed(1);
  $("o-kind").textContent = `${rec.kind} #${rec.seq}`;
  $("o-kinds").textContent = `idle ${ka.frames.idle} · speech ${ka.frames.speech} · ramp ${ka.frames.ramp}`;
  $("o-dropped").textContent = `${rec.dropped} server · ${ka.dropped} page`;
}

function sendAudio(block) {
  if (!ws || ws.readyState !== WebSocket.OPEN) return;
  if (t0 === null && ka.audioSent === 0) t0 = performance.now(); // the utterance's first message
  ws.send(block);
  ka.audioSent++;
}

function beginUtterance() { t0 = null; ka.audioSent = 0; ka.pageFirstFrameMs = null; }

async function startMic() {
  beginUtterance();
  const stream = await navigator.mediaDevices.getUserMedia({
    audio: { channelCount: 1, echoCancellation: false, noiseSuppression: false, autoGainControl: false },
  });
  const ac = new AudioContext();
  await ac.audioWorklet.addModule("/static/capture-worklet.js");
  const src = ac.createMediaStreamSource(stream);
  const node = new AudioWorkletNode(ac, "capture-16k", { numberOfInputs: 1, numberOfOutputs: 0 });
  let live = true; // blocks still queued in the port after a stop must not reach the server
  node.port.onmessage = (e) => { if (live) sendAudio(e.data); };
  src.connect(node);
  audio = { stop: () => { live = false; node.port.onmessage = null; stream.getTracks().forEach((t) => t.stop()); ac.close(); } };
  setState("listening");
  $("start").disabled = true;
  $("stop").disabled = false;
}

async function sendFile(file) { // the caller stopped any other source
  beginUtterance();
  const decoded = await new AudioContext().decodeAudioData(await file.arrayBuffer());
  const off = new OfflineAudioContext(1, Math.ceil(decoded.duration * 16000), 16000);
  const src = off.createBufferSource();
  src.buffer = decoded;
  src.connect(off.destination);
  src.start();
  const x = (await off.startRendering()).getChannelData(0);
  const pcm = new Int16Array(x.length);
  for (let i = 0; i < x.length; i++) { const v = Math.max(-1, Math.min(1, x[i])); pcm[i] = v < 0 ? v * 32768 : v * 32767; }
  let at = 0, k = 0, cancelled = false;
  const begun = performance.now();
  audio = { stop: () => { cancelled = true; } };
  setState("sending file");
  $("stop").disabled = false;
  while (at < pcm.length && !cancelled) { // real-time pace: one 20 ms message every 20 ms
    sendAudio(pcm.slice(at, at + 320).buffer);
    at += 320;
    k++;
    await new Promise((r) => setTimeout(r, Math.max(0, begun + 20 * k - performance.now())));
  }
  if (!cancelled) { ws.send(JSON.stringify({ type: "end" })); audio = null; setState("connected"); sourceBusy(false); }
}

function stopAudio() {
  if (audio) { audio.stop(); audio = null; }
  sourceBusy(false);
}

$("start").onclick = () => {
  sourceBusy(true);
  startMic().catch((e) => { stopAudio(); notice(`microphone: ${e.message}`); });
};
$("stop").onclick = () => {
  stopAudio();
  if (ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify({ type: "end" }));
  setState("connected");
};
$("interrupt").onclick = () => {
  stopAudio();
  if (ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify({ type: "interrupt" }));
  setState("connected");
};
$("file").onchange = (e) => {
  const file = e.target.files[0];
  e.target.value = ""; // the same file may be sent again
  if (!file) return;
  stopAudio();
  sourceBusy(true);
  sendFile(file).catch((err) => { stopAudio(); notice(`file: ${err.message}`); });
};

connect();
