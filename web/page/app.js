// SPDX-License-Identifier: GPL-3.0-or-later
// The page: reads the controls, opens one WebSocket per speaking session
// (/speak, messages as the bridge's web/frames.h describes), plays the audio
// and moves the highlight word by word on the audio clock, once per
// displayed frame.
import {Player} from './player.js';
import {Reader} from './reader.js';

const SPEAK = 0x01, STOP = 0x02, PLAYED = 0x03;
const FORMAT = 0x81, AUDIO = 0x82, WORD = 0x83, END = 0x84;
const END_REASONS = ['done', 'stopped', 'failed'];

const $ = (id) => document.getElementById(id);
const text = $('text');
const markup = $('markup');
const voice = $('voice');
const variant = $('variant');
const speakButton = $('speak');
const stopButton = $('stop');
const status = $('status');

// The browser session: one per page load, named by a random token.
const token = Array.from(crypto.getRandomValues(new Uint8Array(16)),
                         (b) => b.toString(16).padStart(2, '0')).join('');
const player = new Player();
const reader = new Reader($('reader'), (offset) => speak(offset), (message) => say(message));
let session = null;  // the speaking session
let maxText = Infinity;  // the bridge's longest text, in bytes

function say(message) {
  status.textContent = message;
}

// The reader follows the text area a moment after typing pauses, and at once
// when speaking starts.
let showLater = 0;
function showText() {
  clearTimeout(showLater);
  if (reader.text !== text.value || reader.markup !== markup.checked) {
    reader.show(text.value, markup.checked);
  }
}
function showSoon() {
  clearTimeout(showLater);
  showLater = setTimeout(() => { if (!session) showText(); }, 250);
}

function percent(input, signed) {
  const value = Number(input.value);
  return (signed && value >= 0 ? '+' : '') + value + '%';
}

for (const [id, signed] of [['rate', false], ['pitch', true], ['volume', false]]) {
  const input = $(id);
  const output = $(id + '-value');
  input.addEventListener('input', () => { output.textContent = percent(input, signed); });
}

// The voice as picked, for the server to choose: "English (Scotland)",
// "English (Scotland)+f3", "+f3" (the server's default voice with it), or ""
// (the server's default).
function voiceName() {
  return voice.value + variant.value;
}

function speakMessage(start, body) {
  const encoder = new TextEncoder();
  const name = encoder.encode(voiceName()).slice(0, 255);
  const message = new Uint8Array(14 + name.length + body.length);
  const view = new DataView(message.buffer);
  view.setUint8(0, SPEAK);
  view.setUint8(1, markup.checked ? 1 : 0);
  view.setUint16(2, Number($('rate').value), true);
  view.setInt16(4, Number($('pitch').value), true);
  view.setUint16(6, Number($('volume').value), true);
  view.setUint32(8, start, true);
  view.setUint8(12, name.length);
  message.set(name, 13);
  message.set(body, 13 + name.length);
  return message.subarray(0, 13 + name.length + body.length);
}

// One speaking session: its socket, the words in the order they come, and
// how far the highlight has got.
class Session {
  constructor(start, body) {
    this.words = [];  // {sample, begin, end}
    this.next = 0;    // the first word not yet highlighted
    this.ended = null;
    this.closed = false;
    player.begin();
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    this.socket = new WebSocket(`${scheme}//${location.host}/speak?session=${token}`);
    this.socket.binaryType = 'arraybuffer';
    this.socket.onopen = () => this.socket.send(speakMessage(start, body));
    this.socket.onmessage = (event) => this.receive(event.data);
    this.socket.onclose = (event) => this.closedWith(event);
    this.acks = setInterval(() => this.acknowledge(), 250);
    this.frame = requestAnimationFrame(() => this.tick());
  }

  receive(data) {
    if (!(data instanceof ArrayBuffer) || data.byteLength === 0 || this.closed) {
      return;
    }
    const view = new DataView(data);
    switch (view.getUint8(0)) {
      case FORMAT:
        player.format(view.getUint32(1, true));
        break;
      case AUDIO:
        player.play(data, 1);
        break;
      case WORD:
        this.words.push({sample: view.getUint32(1, true), begin: view.getUint32(5, true),
                         end: view.getUint32(9, true)});
        break;
      case END: {
        const reason = END_REASONS[view.getUint8(1)] || 'failed';
        const message = new TextDecoder().decode(new Uint8Array(data, 6));
        this.ended = {reason, message};
        if (reason === 'failed') {
          this.finish('Could not speak: ' + (message || 'the speech server failed') + '.');
        } else if (reason === 'stopped') {
          this.finish('Stopped.');
        }
        break;
      }
    }
  }

  acknowledge() {
    if (this.socket.readyState === WebSocket.OPEN) {
      const message = new DataView(new ArrayBuffer(5));
      message.setUint8(0, PLAYED);
      message.setUint32(1, player.played(), true);
      this.socket.send(message.buffer);
    }
  }

  // Once per displayed frame: highlights every word whose sound has begun.
  tick() {
    if (this.closed) {
      return;
    }
    const heard = player.heard();
    while (this.next < this.words.length) {
      const word = this.words[this.next];
      const time = player.timeOf(word.sample);
      if (time === null || time > heard) {
        break;
      }
      reader.mark(word.begin, word.end);
      this.next++;
    }
    if (this.ended && this.ended.reason === 'done' && heard >= player.endTime()) {
      this.finish('Done.');
      return;
    }
    this.frame = requestAnimationFrame(() => this.tick());
  }

  closedWith(event) {
    if (this.closed) {
      return;
    }
    if (!this.ended) {
      this.finish(event.reason ? `Stopped: ${event.reason}.` : 'The connection was lost.');
    }
  }

  // Ends the session: silence, and the controls back to idle.
  finish(message) {
    this.close();
    say(message);
    speakButton.disabled = false;
    stopButton.disabled = true;
  }

  close() {
    if (this.closed) {
      return;
    }
    this.closed = true;
    clearInterval(this.acks);
    cancelAnimationFrame(this.frame);
    player.stop();
    reader.unmark();
    if (this.socket.readyState === WebSocket.OPEN) {
      this.socket.send(new Uint8Array([STOP]));
    }
    if (this.socket.readyState <= WebSocket.OPEN) {
      this.socket.close(1000, 'stopped');
    }
    if (session === this) {
      session = null;
    }
  }
}

function speak(start = 0) {
  if (!text.value.trim()) {
    say('Nothing to speak: type some text first.');
    text.focus();
    return;
  }
  const body = new TextEncoder().encode(text.value);
  if (body.length > maxText) {
    say(`The text is ${body.length} bytes long; this server speaks at most ${maxText} at once.`);
    text.focus();
    return;
  }
  player.wake();
  if (session) {
    session.close();
  }
  showText();
  session = new Session(start, body);
  stopButton.disabled = false;
  say(start > 0 ? 'Speaking from the chosen word…' : 'Speaking…');
}

function stop() {
  if (session) {
    session.finish('Stopped.');
  }
}

$('controls').addEventListener('submit', (event) => {
  event.preventDefault();
  speak(0);
});
stopButton.addEventListener('click', stop);
text.addEventListener('input', showSoon);
markup.addEventListener('change', showSoon);
text.addEventListener('keydown', (event) => {
  if (event.key === 'Enter' && (event.ctrlKey || event.metaKey)) {
    event.preventDefault();
    speak(0);
  }
});
document.addEventListener('keydown', (event) => {
  if (event.key === 'Escape' && session) {
    event.preventDefault();
    stop();
  }
});

// The bridge's settings: the server's voices and variants, the slider values
// the voice reaches, the longest text. The server's default voice speaks
// until another is picked, as in every other front end.
async function loadSettings() {
  try {
    const response = await fetch('settings');
    const settings = await response.json();
    for (const v of settings.voices) {
      voice.add(new Option(`${v.tag || v.language} · ${v.name}`, v.name));
    }
    for (const v of settings.variants) {
      variant.add(new Option(v.name.replace(/^\+/, ''), v.name));
    }
    for (const [id, [low, high]] of Object.entries(settings.sliders)) {
      const input = $(id);
      // The step first: a new minimum on the old step would move the value.
      Object.assign(input, {step: 1, min: low, max: high});
      input.dispatchEvent(new Event('input'));
    }
    maxText = settings.maxText;
    $('limit').textContent = ` At most ${maxText} bytes of text at once.`;
    say(`Ready: ${settings.voices.length} voices, ${settings.variants.length} variants.`);
  } catch (error) {
    say('The voice list did not load; the server\'s default voice speaks.');
  }
}

showText();
player.wake();
loadSettings();
