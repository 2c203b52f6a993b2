// SPDX-License-Identifier: GPL-3.0-or-later
// Plays a speaking session's audio through the Web Audio API as it arrives,
// each piece scheduled right after the one before on the audio context's
// clock, and tells where on that clock any sample of the session plays. What
// is being heard comes from the context's output timestamp, so the words
// follow the sound itself, whatever the output's latency.

const LEAD = 0.03;  // seconds between the first piece's arrival and its start

export class Player {
  constructor() {
    this.context = null;
    this.output = null;
    this.pieces = [];  // {sample, time, rate, count}, in order
  }

  // Makes or wakes the audio context. Making one can take a good part of a
  // second, so the page makes it when it loads; browsers let it run only
  // once woken from a click or key press, such as the one that speaks.
  wake() {
    if (!this.context) {
      this.context = new AudioContext({latencyHint: 'interactive'});
    }
    if (this.context.state === 'suspended') {
      this.context.resume();
    }
  }

  // A new speaking session: what was playing stops.
  begin() {
    this.stop();
    this.output = this.context.createGain();
    this.output.connect(this.context.destination);
    this.rate = 22050;
    this.samples = 0;
    this.nextTime = 0;
  }

  format(rate) {
    this.rate = rate;
  }

  // Schedules 16-bit little-endian samples (an ArrayBuffer and the byte where
  // they start).
  play(buffer, offset) {
    const count = (buffer.byteLength - offset) >> 1;
    if (!this.output || count === 0) {
      return;
    }
    const view = new DataView(buffer, offset, count * 2);
    const audio = this.context.createBuffer(1, count, this.rate);
    const channel = audio.getChannelData(0);
    for (let i = 0; i < count; i++) {
      channel[i] = view.getInt16(i * 2, true) / 32768;
    }
    const source = this.context.createBufferSource();
    source.buffer = audio;
    source.connect(this.output);
    // Late pieces start a little after now: the gap is silence, and the
    // schedule keeps where each sample really plays.
    const earliest = this.context.currentTime + (this.pieces.length === 0 ? LEAD : 0.01);
    const time = Math.max(this.nextTime, earliest);
    source.start(time);
    this.pieces.push({sample: this.samples, time, rate: this.rate, count});
    this.samples += count;
    this.nextTime = time + count / this.rate;
  }

  // The context time at which the session's sample plays, or null when its
  // audio has not arrived.
  timeOf(sample) {
    const pieces = this.pieces;
    let low = 0;
    let high = pieces.length - 1;
    while (low <= high) {
      const middle = (low + high) >> 1;
      const piece = pieces[middle];
      if (sample < piece.sample) {
        high = middle - 1;
      } else if (sample >= piece.sample + piece.count) {
        low = middle + 1;
      } else {
        return piece.time + (sample - piece.sample) / piece.rate;
      }
    }
    return null;
  }

  // The context time being heard now.
  heard() {
    const context = this.context;
    if (!context) {
      return 0;
    }
    const stamp = context.getOutputTimestamp ? context.getOutputTimestamp() : null;
    if (stamp && stamp.performanceTime > 0) {
      // The stamp is extrapolated to now only while the clock runs: a
      // suspended context (paused, or interrupted by the system) is silent,
      // so the word heard stays where the sound stopped.
      const running = context.state === 'running';
      return stamp.contextTime + (running ? (performance.now() - stamp.performanceTime) / 1000 : 0);
    }
    return context.currentTime - (context.baseLatency || 0) - (context.outputLatency || 0);
  }

  // Samples of the session heard so far.
  played() {
    const now = this.heard();
    let total = 0;
    for (const piece of this.pieces) {
      if (now < piece.time) {
        break;
      }
      total = piece.sample + Math.min(piece.count, Math.floor((now - piece.time) * piece.rate));
    }
    return total;
  }

  // The context time at which the last scheduled sample has played.
  endTime() {
    return this.nextTime;
  }

  // Silences the session at once.
  stop() {
    if (this.output) {
      this.output.disconnect();
      this.output = null;
    }
    this.pieces = [];
    this.samples = 0;
    this.nextTime = 0;
  }
}
