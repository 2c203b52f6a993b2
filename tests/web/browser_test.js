// SPDX-License-Identifier: MIT
// vrelay-web in a real browser: headless Chromium driven by puppeteer-core.
// Usage: node browser_test.js URL SCREENSHOT_DIR   (vrelay-web with the tone
// engine at URL: 16 kHz, one 100 ms tone and 20 ms of silence per word)
//        node browser_test.js URL SCREENSHOT_DIR --kill PID PORT   (vrelay-web
// given two speech servers, the first one's pid and port: the resume test)
//
// Before the page loads, every AudioContext it makes gets a tap: whatever
// the page connects to the speakers also feeds a processor that finds where
// each tone starts on the context's clock. When a word is highlighted (the
// page sets the CSS highlight "word") the probe reads what is being heard
// on that same clock, from the context's output timestamp, so the highlight
// is measured against its sound on the audio clock itself: a busy machine
// that delays the browser's audio thread moves both alike. Times between a
// click and a sound are read as performance.now() times through the output
// timestamps.
'use strict';
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const puppeteer = require('puppeteer-core');

const [url, shots] = process.argv.slice(2);
const LAUNCH_FLAGS = ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                      '--disable-background-networking', '--disable-component-update',
                      '--disable-sync', '--autoplay-policy=no-user-gesture-required',
                      '--mute-audio'];
const WORDS = ('alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima mike ' +
               'november oscar papa quebec romeo sierra tango').split(' ');
const SYNC_MS = 50;         // a word's highlight after its sound, the median
const LATE_MS = 250;        // ... and the latest (a frame drawn late on a busy machine)
const EARLY_MS = 10;        // a highlight before its sound (the tone's first samples are quiet)
const STOP_MS = 100;        // Stop and the last sound, on the audio clock
const FIRST_SOUND_MS = 900; // Speak and the first sound (300 ms, with room for a loaded machine)

function instrument() {
  window.__probe = {onsets: [], marks: [], lastSound: 0, contexts: [], ready: false, stamps: []};
  const probe = window.__probe;
  // The context time being heard now, as the output timestamp tells it.
  probe.heard = () => {
    const context = probe.contexts[probe.contexts.length - 1];
    const now = context && context.getOutputTimestamp();
    if (!now || now.performanceTime <= 0) return NaN;
    return now.contextTime + (performance.now() - now.performanceTime) / 1000;
  };
  // The output timestamp once per frame: how the context's clock maps to
  // performance.now() drifts while the output's latency settles.
  const stamp = () => {
    const context = probe.contexts[probe.contexts.length - 1];
    const now = context && context.getOutputTimestamp();
    if (now && now.performanceTime > 0) {
      const last = probe.stamps[probe.stamps.length - 1];
      if (!last || now.contextTime > last[0]) probe.stamps.push([now.contextTime, now.performanceTime]);
    }
    requestAnimationFrame(stamp);
  };
  requestAnimationFrame(stamp);
  // Sample-exact on the context's clock: a tone starts after 10 ms of
  // silence; its end is posted once 10 ms of silence follow it.
  const processor = `class Tap extends AudioWorkletProcessor {
    constructor() { super(); this.silent = 1e9; this.last = -1; }
    process(inputs) {
      const input = inputs[0][0];
      for (let i = 0; i < 128; i++) {
        const time = (currentFrame + i) / sampleRate;
        if (input && Math.abs(input[i]) > 0.02) {
          if (this.silent > sampleRate * 0.01) this.port.postMessage({onset: time});
          this.silent = 0;
          this.last = time;
        } else if (++this.silent === Math.round(sampleRate * 0.01) && this.last >= 0) {
          this.port.postMessage({end: this.last});
        }
      }
      return true;
    }
  }
  registerProcessor('tap', Tap);`;
  const module = URL.createObjectURL(new Blob([processor], {type: 'text/javascript'}));
  const connect = AudioNode.prototype.connect;
  const Native = window.AudioContext;
  window.AudioContext = class extends Native {
    constructor(...args) {
      super(...args);
      probe.contexts.push(this);
      this.__waiting = [];
      this.audioWorklet.addModule(module).then(() => {
        const tap = new AudioWorkletNode(this, 'tap');
        tap.port.onmessage = ({data}) => {
          if ('onset' in data) probe.onsets.push(data.onset);
          if ('end' in data) probe.lastSound = Math.max(probe.lastSound, data.end);
        };
        connect.call(tap, this.destination);
        this.__tap = tap;
        for (const node of this.__waiting) connect.call(node, tap);
        probe.ready = true;
      });
    }
  };
  // What the page sends to the speakers goes to the tap too.
  AudioNode.prototype.connect = function (target, ...rest) {
    const result = connect.call(this, target, ...rest);
    if (target instanceof AudioDestinationNode) {
      if (this.context.__tap) connect.call(this, this.context.__tap);
      else this.context.__waiting.push(this);
    }
    return result;
  };
  // The page draws the word being heard as the CSS highlight "word".
  const set = HighlightRegistry.prototype.set;
  HighlightRegistry.prototype.set = function (name, highlight) {
    if (name === 'word') {
      probe.marks.push({mark: [...highlight][0].toString(), heard: probe.heard()});
    }
    return set.call(this, name, highlight);
  };
  document.addEventListener('DOMContentLoaded', () => {
    document.getElementById('speak').addEventListener('click', () => { probe.speakAt = performance.now(); }, true);
    document.getElementById('stop').addEventListener('click', () => { probe.stopHeard = probe.heard(); }, true);
  });
}

// What the probe saw: the onsets and marks on the audio clock, and the first
// onset as a performance.now() time, through the output timestamp taken
// closest to it.
async function probeTimes(page) {
  return page.evaluate(() => {
    const probe = window.__probe;
    const stamps = probe.stamps;
    const toPerf = (t) => {
      let low = 0, high = stamps.length - 1;
      while (low < high) {
        const middle = (low + high + 1) >> 1;
        if (stamps[middle][0] <= t) low = middle; else high = middle - 1;
      }
      const near = low + 1 < stamps.length && stamps[low + 1][0] - t < t - stamps[low][0] ? low + 1 : low;
      return stamps[near][1] + (t - stamps[near][0]) * 1000;
    };
    return {onsets: probe.onsets, marks: probe.marks, lastSound: probe.lastSound,
            firstSoundAt: probe.onsets.length > 0 ? toPerf(probe.onsets[0]) : NaN,
            speakAt: probe.speakAt, stopHeard: probe.stopHeard};
  });
}

async function reset(page) {
  await page.evaluate(() => {
    Object.assign(window.__probe, {onsets: [], marks: [], lastSound: 0, stamps: []});
  });
}

async function status(page) {
  return page.$eval('#status', (e) => e.textContent);
}

async function waitStatus(page, pattern, timeout = 30000) {
  await page.waitForFunction((p) => new RegExp(p).test(document.getElementById('status').textContent),
                             {timeout}, pattern.source);
}

// Puts text in the text area, and waits until the page shows it.
async function setText(page, text) {
  await page.$eval('#text', (e, t) => { e.value = t; e.dispatchEvent(new Event('input')); }, text);
  await page.waitForFunction((n) => document.getElementById('reader').textContent.length === n,
                             {}, text.length);
}

// Every word highlighted once, in order, on the audio clock never before its
// sound, mostly within SYNC_MS after it and none later than LATE_MS (a word
// off by one is 120 ms away).
function checkSync(times, words, label) {
  assert.deepEqual(times.marks.map((m) => m.mark), words, `${label}: highlighted words`);
  assert.ok(times.onsets.length >= words.length, `${label}: ${times.onsets.length} tones heard`);
  const offsets = times.marks.map((m, i) => (m.heard - times.onsets[i]) * 1000);
  const sorted = [...offsets].sort((a, b) => a - b);
  const median = sorted[sorted.length >> 1];
  const each = `(each word: ${offsets.map((o) => o.toFixed(0)).join(' ')})`;
  console.log(`${label}: ${words.length} words, highlight - sound from ${sorted[0].toFixed(1)} ` +
              `to ${sorted.at(-1).toFixed(1)} ms, median ${median.toFixed(1)} ms`);
  assert.ok(sorted[0] >= -EARLY_MS, `${label}: a highlight ${(-sorted[0]).toFixed(1)} ms before its sound ${each}`);
  assert.ok(median <= SYNC_MS, `${label}: highlights ${median.toFixed(1)} ms after their sound ${each}`);
  assert.ok(sorted.at(-1) <= LATE_MS, `${label}: a highlight ${sorted.at(-1).toFixed(1)} ms after its sound ${each}`);
}

const tests = {
  async 'each word lights up with its sound'(page) {
    await setText(page, WORDS.join(' '));
    await reset(page);
    await page.click('#speak');
    await waitStatus(page, /^Done\./);
    const times = await probeTimes(page);
    checkSync(times, WORDS, 'speak');
    const first = times.firstSoundAt - times.speakAt;
    console.log(`first sound ${first.toFixed(1)} ms after Speak`);
    assert.ok(first <= FIRST_SOUND_MS, `first sound after ${first.toFixed(1)} ms`);
  },

  async 'a long text starts to sound at once'(page) {
    const long = Array.from({length: 20000}, (_, i) => WORDS[i % WORDS.length]).join(' ');
    await setText(page, long);
    await reset(page);
    await page.click('#speak');
    await page.waitForFunction(() => window.__probe.onsets.length > 0, {timeout: 10000});
    const times = await probeTimes(page);
    const first = times.firstSoundAt - times.speakAt;
    console.log(`long text (${long.length} bytes): first sound ${first.toFixed(1)} ms after Speak`);
    assert.ok(first <= FIRST_SOUND_MS, `first sound after ${first.toFixed(1)} ms`);
    await page.click('#stop');
    await waitStatus(page, /^Stopped\./);
  },

  async 'stop silences within 100 ms'(page) {
    await setText(page, WORDS.concat(WORDS).join(' '));
    await reset(page);
    await page.click('#speak');
    await page.waitForFunction(() => window.__probe.marks.length >= 5, {timeout: 10000});
    await page.click('#stop');
    await waitStatus(page, /^Stopped\./);
    // Give any sound still scheduled the time to play into the tap.
    await page.evaluate(() => new Promise((r) => setTimeout(r, 400)));
    const times = await probeTimes(page);
    const after = (times.lastSound - times.stopHeard) * 1000;
    console.log(`stop: last sound ${after.toFixed(1)} ms after Stop`);
    assert.ok(after <= STOP_MS, `sound went on ${after.toFixed(1)} ms after Stop`);
    assert.ok(times.marks.length < WORDS.length, 'the highlight stopped too');
  },

  async 'a click on a word speaks from it'(page) {
    await setText(page, WORDS.join(' '));
    await reset(page);
    // The middle of the eighth word.
    const point = await page.evaluate((offset) => {
      const node = document.getElementById('reader').firstChild;
      const range = new Range();
      range.setStart(node, offset);
      range.setEnd(node, offset + 1);
      const box = range.getBoundingClientRect();
      return {x: box.x + box.width / 2, y: box.y + box.height / 2};
    }, WORDS.slice(0, 7).join(' ').length + 2);
    await page.mouse.click(point.x, point.y);
    await waitStatus(page, /^Done\./);
    checkSync(await probeTimes(page), WORDS.slice(7), 'click');
  },

  async 'the keyboard alone speaks, stops and chooses a word'(page) {
    await page.reload();
    await waitStatus(page, /^Ready/);
    // The sliders start at the voice's own, within what it reaches.
    const sliders = await page.$$eval('input[type=range]', (inputs) =>
      inputs.map((e) => `${e.id} ${e.min}..${e.max} ${e.value} ${e.nextElementSibling.textContent}`));
    assert.deepEqual(sliders, ['rate 46..400 100 100%', 'pitch -35..68 0 +0%', 'volume 0..199 100 100%']);
    await page.waitForFunction(() => window.__probe.ready);
    await page.keyboard.press('Tab');
    assert.equal(await page.evaluate(() => document.activeElement.id), 'text');
    await page.keyboard.down('Control');
    await page.keyboard.press('KeyA');
    await page.keyboard.up('Control');
    await page.keyboard.type(WORDS.slice(0, 8).join(' '));
    await page.keyboard.down('Control');
    await page.keyboard.press('Enter');
    await page.keyboard.up('Control');
    await waitStatus(page, /^Speaking/);
    await page.keyboard.press('Escape');
    await waitStatus(page, /^Stopped\./);
    let focused = '';
    for (let i = 0; i < 20 && focused !== 'reader'; i++) {
      await page.keyboard.press('Tab');
      focused = await page.evaluate(() => document.activeElement.id);
    }
    assert.equal(focused, 'reader', 'Tab reaches the text');
    await reset(page);
    for (const key of ['ArrowRight', 'ArrowRight', 'ArrowRight', 'ArrowRight', 'ArrowLeft']) {
      await page.keyboard.press(key);
    }
    await page.keyboard.press('Enter');
    await waitStatus(page, /^Done\./);
    const marks = (await probeTimes(page)).marks.map((m) => m.mark);
    assert.deepEqual(marks, WORDS.slice(2, 8));
    const live = await page.$eval('#status', (e) => e.getAttribute('role') + ' ' + e.getAttribute('aria-live'));
    assert.equal(live, 'status polite');
  },

  async 'screenshots mid-sentence show the word being heard'(page) {
    for (const [name, width, height] of [['phone', 390, 844], ['desktop', 1280, 800]]) {
      await page.setViewport({width, height});
      await setText(page, WORDS.join(' '));
      await reset(page);
      await page.click('#speak');
      await page.waitForFunction(() => window.__probe.marks.length >= 6, {timeout: 10000});
      // Freezing the audio clock freezes the highlight.
      await page.evaluate(() => window.__probe.contexts.at(-1).suspend());
      const expected = await page.evaluate(() => window.__probe.marks.at(-1).mark);
      const box = await page.evaluate(() => {
        const range = [...CSS.highlights.get('word')][0];
        const r = range.getBoundingClientRect();
        return {x: r.x, y: r.y, right: r.right, bottom: r.bottom, text: range.toString()};
      });
      const file = path.join(shots, `vrelay-web-${name}.png`);
      const png = await page.screenshot({path: file});
      const found = await page.evaluate(async (data) => {
        const bitmap = await createImageBitmap(new Blob([Uint8Array.from(atob(data), (c) => c.charCodeAt(0))]));
        const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
        const context = canvas.getContext('2d');
        context.drawImage(bitmap, 0, 0);
        const pixels = context.getImageData(0, 0, bitmap.width, bitmap.height).data;
        let x0 = Infinity, y0 = Infinity, x1 = -1, y1 = -1;
        for (let i = 0; i < pixels.length; i += 4) {
          // The highlight colour, #ffd84d.
          if (pixels[i] === 255 && Math.abs(pixels[i + 1] - 216) <= 2 && Math.abs(pixels[i + 2] - 77) <= 2) {
            const p = i / 4, x = p % bitmap.width, y = Math.floor(p / bitmap.width);
            x0 = Math.min(x0, x); y0 = Math.min(y0, y); x1 = Math.max(x1, x); y1 = Math.max(y1, y);
          }
        }
        return {x0, y0, x1, y1};
      }, Buffer.from(png).toString('base64'));
      const overflow = await page.evaluate(() => document.documentElement.scrollWidth - innerWidth);
      await page.evaluate(() => window.__probe.contexts.at(-1).resume());
      await page.click('#stop');
      await waitStatus(page, /^Stopped\./);
      console.log(`${name} ${width}x${height}: "${box.text}" highlighted, screenshot ${file}`);
      assert.equal(box.text, expected, `${name}: the marked word is the one last heard`);
      assert.ok(found.x1 >= 0, `${name}: no highlight in the screenshot`);
      assert.ok(found.x0 >= box.x - 1 && found.x1 <= box.right + 1 && found.y0 >= box.y - 1 &&
                found.y1 <= box.bottom + 1,
                `${name}: highlight at ${JSON.stringify(found)}, the word at ${JSON.stringify(box)}`);
      assert.ok(overflow <= 0, `${name}: the page is ${overflow} px too wide`);
    }
  },
};

// Bytes waiting unread in sockets on this TCP port (the server's side).
function unreadOnPort(port) {
  return fs.readFileSync('/proc/net/tcp', 'utf8').split('\n').slice(1).reduce((sum, line) => {
    const f = line.trim().split(/\s+/);
    if (f.length < 5 || parseInt(f[1].split(':')[1], 16) !== port) return sum;
    return sum + parseInt(f[4].split(':')[1], 16);
  }, 0);
}

// Run against vrelay-web given two espeak-ng servers, the first one's pid and
// port on the command line (--kill PID PORT).
const resumeTests = {
  async 'a text goes on at the next server when its server dies'(page, server) {
    // The first server is frozen, so the request waits in its socket; it is
    // killed there, with the text in flight.
    await setText(page, WORDS.join(' '));
    await reset(page);
    process.kill(server.pid, 'SIGSTOP');
    await page.click('#speak');
    const giveUp = Date.now() + 10000;
    while (unreadOnPort(server.port) === 0) {
      assert.ok(Date.now() < giveUp, 'the request never reached the first server');
      await page.waitForFunction(() => true, {polling: 'raf'});
    }
    process.kill(server.pid, 'SIGKILL');
    await waitStatus(page, /^Done\./);
    const lit = (await probeTimes(page)).marks.map((m) => m.mark);
    assert.deepEqual(lit, WORDS, 'every word lit once, in order');
  },
};

async function main() {
  const killAt = process.argv.indexOf('--kill');
  const server = killAt > 0 ? {pid: Number(process.argv[killAt + 1]),
                               port: Number(process.argv[killAt + 2])} : null;
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'vrelay-web-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: [...LAUNCH_FLAGS, `--user-data-dir=${profile}`],
  });
  let passed = 0, failed = 0;
  try {
    const page = await browser.newPage();
    await page.setViewport({width: 1280, height: 800});
    await page.setBypassCSP(true);  // the tap's processor is a blob: script
    await page.evaluateOnNewDocument(instrument);
    await page.goto(url);
    await waitStatus(page, /^Ready/);
    await page.waitForFunction(() => window.__probe.ready);
    for (const [name, test] of Object.entries(server ? resumeTests : tests)) {
      try {
        await test(page, server);
        console.log(`ok - ${name}`);
        passed++;
      } catch (error) {
        console.log(`not ok - ${name}\n${error.stack}`);
        failed++;
        await page.screenshot({path: path.join(shots, `failed-${passed + failed}.png`)}).catch(() => {});
      }
    }
  } finally {
    await browser.close();
    fs.rmSync(profile, {recursive: true, force: true});
  }
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed === 0 ? 0 : 1);
}

module.exports = {LAUNCH_FLAGS, instrument, probeTimes, setText, waitStatus};
if (require.main === module) {
  main().catch((error) => {
    console.error(error);
    process.exit(1);
  });
}
