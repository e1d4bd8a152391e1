// Microphone capture: resamples the audio graph's rate to 16 kHz mono int16 and posts one 20 ms
// block (320 samples) at a time to the page, which sends it upstream.
class Capture16k extends AudioWorkletProcessor {
  constructor() {
    super();
    this.step = sampleRate / 16000; // input samples per output sample
    this.pos = 0;                   // position of the next output sample, relative to prev
    this.prev = 0;                  // last input sample of the previous block
    this.block = new Int16Array(320);
    this.fill = 0;
  }

  process(inputs) {
    const input = inputs[0];
    if (!input || input.length === 0) return true;
    const x = input[0];
    // Linear interpolation between prev (index -1) and x[0..n-1].
    while (this.pos < x.length - 1) {
      const i = Math.floor(this.pos);
      const f = this.pos - i;
      const a = i < 0 ? this.prev : x[i];
      const b = x[i + 1];
      const v = Math.max(-1, Math.min(1, a + (b - a) * f));
      this.block[this.fill++] = v < 0 ? v * 32768 : v * 32767;
      if (this.fill === this.block.length) {
        this.port.postMessage(this.block.buffer, [this.block.buffer]);
        this.block = new Int16Array(320);
        this.fill = 0;
      }
      this.pos += this.step;
    }
    this.prev = x[x.length - 1];
    this.pos -= x.length;
    return true;
  }
}

registerProcessor("capture-16k", Capture16k);
