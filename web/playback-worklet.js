// Speech playback: a queue of 16 kHz int16 chunks, each with the audio-clock frame at which its first
// sample should sound (the page sets it from the moment the chunk's video frame was drawn). A chunk
// due later waits in silence; one that starts late skips the part that is more than LATE frames
// overdue, so sound never drifts behind the pictures. Reports each chunk's start to the page.
const LATE = 320; // 20 ms at 16 kHz

class Playback extends AudioWorkletProcessor {
  constructor() {
    super();
    this.queue = [];
    this.cur = null;
    this.pos = 0;
    this.port.onmessage = (e) => {
      if (e.data.clear) { this.queue = []; this.cur = null; } else this.queue.push(e.data);
    };
  }

  process(_inputs, outputs) {
    const out = outputs[0][0];
    let i = 0;
    while (i < out.length) {
      if (!this.cur) {
        const c = this.queue[0];
        if (!c) break;
        const now = currentFrame + i;
        if (c.at > now) { const to = Math.min(out.length, i + (c.at - now)); out.fill(0, i, to); i = to; continue; }
        this.queue.shift();
        this.cur = c;
        this.pos = Math.min(c.pcm.length, Math.max(0, now - c.at - LATE));
        this.port.postMessage({ id: c.id, started: now, skipped: this.pos, n: c.pcm.length });
      }
      const n = Math.min(out.length - i, this.cur.pcm.length - this.pos);
      for (let k = 0; k < n; k++) out[i + k] = this.cur.pcm[this.pos + k] / 32768;
      i += n;
      this.pos += n;
      if (this.pos >= this.cur.pcm.length) this.cur = null;
    }
    out.fill(0, i);
    return true;
  }
}

registerProcessor("playback-16k", Playback);
