// ka serve's page: sends 16 kHz int16 audio in 20 ms messages, draws the frames as they arrive and
// plays the speech that comes with them. Frame messages: 4-byte little-endian header length, the
// JSON record, the picture ("video_bytes": H.264 access unit or JPEG), then the frame's 40 ms of
// 16 kHz int16 audio ("audio" samples) when it is meant to be heard.
"use strict";

const $ = (id) => document.getElementById(id);
const canvas = $("view");
const g = canvas.getContext("2d");

// Read by the browser tests; also handy in the console.
const ka = (window.ka = {
  state: "connecting", session: 0, frames: { idle: 0, speech: 0, ramp: 0 }, kinds: [],
  pageFirstFrameMs: null, sessionFirstFrameMs: null, serverFirstFrameMs: null,
  fps: 0, drawn: 0, dropped: 0, audioSent: 0, interrupts: [], notice: "", connects: 0, lostAt: null,
  codec: "jpeg", rxBytes: 0, encodeMs: [], drawMs: [], played: 0, playedPeak: 0, av: [], audioLatencyMs: null, decodeMs: [], vadEnds: 0,
});

let ws = null, audio = null, t0 = null, drawTimes = [], busy = false, pending = null;

function setState(s) { ka.state = s; $("o-state").textContent = s; $("state").textContent = STATE_TEXT[s] || s; }
function notice(text) { ka.notice = text; $("notice").textContent = text; $("notice").hidden = !text; }
const STATE_TEXT = { connecting: "Connecting…", connected: "Live", listening: "Listening", "sending file": "Sending a file",
                     reconnecting: "Connection lost", refused: "Server full" };

// Controls: Start (microphone) and the file picker are one source at a time; while either runs, both
// are off and Stop is on.
function enable(on) {
  for (const id of ["start", "interrupt", "file", "say"]) $(id).disabled = !on;
}
function sourceBusy(busy) {
  const open = !!ws && ws.readyState === WebSocket.OPEN;
  $("start").disabled = busy || !open;
  $("file").disabled = busy || !open;
  $("say").disabled = busy || !open || !ka.tts;
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
    ka.tts = !!m.tts;
    $("say").disabled = !m.tts;
    chooseVideo(m.codecs || ["jpeg"]);
  } else if (m.type === "refused") {
    setState("refused");
    notice(m.message);
  } else if (m.type === "video") {
    ka.codec = m.codec;
  } else if (m.type === "interrupted") {
    ka.interrupts.push({ at: ka.kinds.length, dropped: m.dropped, waiting: m.waiting });
  } else if (m.type === "error") {
    notice(m.message);
  }
}

// H.264 when this browser decodes it (WebCodecs), JPEG otherwise.
async function chooseVideo(codecs) {
  if (!codecs.includes("h264") || !("VideoDecoder" in window) || new URLSearchParams(location.search).get("video") === "jpeg") return;
  try {
    const s = await VideoDecoder.isConfigSupported({ codec: "avc1.42c01f", optimizeForLatency: true });
    if (s.supported && ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify({ type: "video", codec: "h264" }));
  } catch { /* JPEG stays */ }
}

function onFrame(buf) {
  const arrived = performance.now();
  ka.rxBytes += buf.byteLength;
  const n = new DataView(buf).getUint32(0, true);
  const rec = JSON.parse(new TextDecoder().decode(new Uint8Array(buf, 4, n)));
  const at = 4 + n, vlen = rec.video_bytes ?? buf.byteLength - at;
  const f = { rec, arrived, video: new Uint8Array(buf, at, vlen),
              pcm: rec.audio ? new Int16Array(buf.slice(at + vlen, at + vlen + 2 * rec.audio)) : null };
  if (rec.encode_ms !== undefined) keep(ka.encodeMs, rec.encode_ms);
  if (rec.codec === "h264") { decodeH264(f); return; }
  // Draw the newest frame only: one decode at a time, later arrivals replace the waiting one.
  if (busy) { if (pending) ka.dropped++; pending = f; return; }
  draw(f);
}

async function draw(f) {
  busy = true;
  try {
    const bmp = await createImageBitmap(new Blob([f.video], { type: "image/jpeg" }));
    present(f, () => { g.drawImage(bmp, 0, 0, canvas.width, canvas.height); bmp.close(); });
  } finally {
    busy = false;
    if (pending) { const p = pending; pending = null; draw(p); }
  }
}

// H.264 frames are all decoded, in order (a dropped one would break the ones after it); the server
// drops a slow reader's frames before encoding them, and sends a key frame at each utterance's
// start, every 4 s and when asked.
let decoder = null, decoderCodec = null, awaitKey = false;
const decoding = new Map(); // timestamp -> frame waiting in the decoder
function decodeH264(f) {
  if (f.rec.key && f.rec.avc && (!decoder || decoder.state === "closed" || decoderCodec !== f.rec.avc)) {
    if (decoder && decoder.state !== "closed") decoder.close();
    decoding.clear();
    decoderCodec = f.rec.avc;
    decoder = new VideoDecoder({
      output: (frame) => {
        const w = decoding.get(frame.timestamp);
        decoding.delete(frame.timestamp);
        if (!w) { frame.close(); return; }
        keep(ka.decodeMs, performance.now() - w.decoding);
        present(w, () => { g.drawImage(frame, 0, 0, canvas.width, canvas.height); frame.close(); });
      },
      error: (e) => { notice(`video: ${e.message}`); decoder = null; },
    });
    decoder.configure({ codec: decoderCodec, optimizeForLatency: true });
  }
  // A decoder that falls behind skips to the next key frame rather than queue without bound.
  if (decoder && decoder.decodeQueueSize > 8 && !f.rec.key && !awaitKey) {
    awaitKey = true;
    if (ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify({ type: "video", codec: "h264" })); // a key frame, please
  }
  if (f.rec.key) awaitKey = false;
  if (!decoder || decoder.state !== "configured" || awaitKey) { ka.dropped++; return; }
  const timestamp = f.rec.seq * 40000;
  f.decoding = performance.now();
  decoding.set(timestamp, f);
  decoder.decode(new EncodedVideoChunk({ type: f.rec.key ? "key" : "delta", timestamp, data: f.video }));
}

function keep(list, v) { list.push(v); if (list.length > 500) list.splice(0, 250); }

// A decoded picture goes up now, or, when it comes with sound, when its sound is heard: the sound
// starts at once and reaches the ears after the audio output's latency. The picture is planned
// SOUND_TRAILS_MS early, so a picture drawn late (a busy page) stays nearer its sound, and sound
// that trails its picture a little is less noticed than sound ahead of it. Pictures keep their order.
const SOUND_TRAILS_MS = 8;
let lastPresent = 0;
function present(f, paint) {
  const lag = f.pcm ? Math.max(0, playAlong(f) - SOUND_TRAILS_MS) : 0;
  const at = Math.max(performance.now() + lag, lastPresent);
  lastPresent = at;
  const run = () => { paint(); shown(f); };
  if (at <= performance.now() + 1) run(); else setTimeout(run, at - performance.now());
}

function shown(f) {
  const rec = f.rec;
  const now = performance.now();
  if (!f.sound) keep(ka.drawMs, now - f.arrived); // frames held back for their sound aside
  ka.serverDropped = rec.dropped;
  if (f.sound) { f.sound.drawn = now; settle(f.sound); }
  ka.drawn++;
  ka.frames[rec.kind] = (ka.frames[rec.kind] || 0) + 1;
  ka.kinds.push(rec.kind);
  if (ka.kinds.length > 2000) ka.kinds.splice(0, 1000);
  if (rec.kind === "speech" && rec.speech_frame === 0 && t0 !== null) { // the new utterance's, not the last one's tail
    ka.pageFirstFrameMs = now - t0;
    ka.sessionFirstFrameMs = rec.stats.first_frame_latency_ms;
    ka.serverFirstFrameMs = rec.server_first_frame_ms ?? null;
    ka.firstFrameParts = { encode: rec.encode_ms ?? null, arriveToDrawn: now - f.arrived, bytes: rec.video_bytes };
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

// Speech playback at 16 kHz through an AudioWorklet queue. Each frame's 40 ms is due as soon as the
// frame is decoded, and the picture waits for it (present); chunks follow each other without a gap
// unless the pictures drift more than 30 ms from the sound, then the next chunk starts afresh.
let player = null;
async function ensurePlayer() {
  if (!player) {
    const ac = new AudioContext({ sampleRate: 16000, latencyHint: "interactive" });
    player = { ac, node: null, end: null, id: 0, drawn: new Map(), ready: null };
    player.ready = ac.audioWorklet.addModule("/static/playback-worklet.js").then(() => {
      player.node = new AudioWorkletNode(ac, "playback-16k", { numberOfInputs: 0, outputChannelCount: [1] });
      player.node.connect(ac.destination);
      player.node.port.onmessage = (e) => heard(e.data);
    });
  }
  await player.ready;
  if (player.ac.state !== "running") await player.ac.resume();
}

// Queues a frame's 40 ms to sound from now; returns the delay, in ms, until it is heard.
function playAlong(f) {
  if (!player || !player.node) return 0;
  const now = Math.round(player.ac.currentTime * 16000);
  const at = f.rec.speech_frame !== 0 && player.end !== null && Math.abs(player.end - now) < 480 ? player.end : now;
  player.end = at + f.pcm.length;
  const latency = ((player.ac.baseLatency || 0) + (player.ac.outputLatency || 0)) * 1000;
  ka.audioLatencyMs = latency;
  f.sound = { id: ++player.id, now, t: performance.now(), latency };
  player.drawn.set(f.sound.id, f.sound);
  for (const v of f.pcm) ka.playedPeak = Math.max(ka.playedPeak, Math.abs(v));
  player.node.port.postMessage({ id: f.sound.id, at, pcm: f.pcm }, [f.pcm.buffer]);
  return latency + ((at - now) * 1000) / 16000;
}

function heard(m) {
  const s = player.drawn.get(m.id);
  if (!s) return;
  ka.played += m.n - m.skipped;
  s.heard = m;
  settle(s);
}

// Both ends of a chunk known: how far its sound lands from its picture (positive: sound later).
function settle(s) {
  if (!s.heard || s.drawn === undefined) return;
  player.drawn.delete(s.id);
  keep(ka.av, ((s.heard.started - s.heard.skipped - s.now) * 1000) / 16000 + s.latency - (s.drawn - s.t));
}

function silence() {
  if (player && player.node) player.node.port.postMessage({ clear: true });
  if (player) { player.end = null; player.drawn.clear(); }
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
  const gate = voiceGate();
  node.port.onmessage = (e) => { if (live) gate(e.data); };
  src.connect(node);
  audio = { stop: () => { live = false; node.port.onmessage = null; stream.getTracks().forEach((t) => t.stop()); ac.close(); } };
  setState("listening");
  $("start").disabled = true;
  $("stop").disabled = false;
}

// The microphone is gated by voice activity: an energy gate opens on speech (sending the 200 ms
// before it too), and 600 ms without speech ends the utterance, so the face rests between
// sentences and each sentence is an utterance of its own (with its own latency figure).
const VAD_DBFS = -42, VAD_HANG_MS = 600, VAD_PREROLL = 10;
function voiceGate() {
  let open = false, quiet = 0;
  const pre = [];
  return (buf) => {
    const x = new Int16Array(buf);
    let e = 0;
    for (const v of x) e += v * v;
    const voiced = 10 * Math.log10(e / x.length / 32768 / 32768 + 1e-12) > VAD_DBFS;
    if (voiced && !open) { open = true; beginUtterance(); pre.splice(0).forEach(sendAudio); }
    if (!open) { pre.push(buf); if (pre.length > VAD_PREROLL) pre.shift(); return; }
    sendAudio(buf);
    quiet = voiced ? 0 : quiet + (x.length * 1000) / 16000;
    if (quiet >= VAD_HANG_MS) {
      open = false;
      quiet = 0;
      ka.vadEnds++;
      if (ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify({ type: "end" }));
    }
  };
}

// Ends what the microphone was saying before other audio takes over.
function endMic() {
  const live = audio !== null;
  stopAudio();
  if (live && ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify({ type: "end" }));
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
  await ensurePlayer();
  ws.send(JSON.stringify({ type: "play" })); // this audio is heard with the frames it drives
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
  silence();
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

$("say-form").onsubmit = async (e) => {
  e.preventDefault();
  const text = $("say-text").value.trim();
  if (!text || !ws || ws.readyState !== WebSocket.OPEN) return;
  endMic();
  beginUtterance();
  t0 = performance.now();
  await ensurePlayer().catch((err) => notice(`sound: ${err.message}`));
  ws.send(JSON.stringify({ type: "say", text }));
};

connect();
