// SPDX-License-Identifier: MIT
// Time from a press of Speak to the first sound, in vrelay-web's page in
// headless Chromium, for a short and a long text; prints one markdown row
// each (median of five). Usage: node web_first_sound.js URL
'use strict';
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const puppeteer = require('puppeteer-core');
const {LAUNCH_FLAGS, instrument, probeTimes, setText, waitStatus} =
    require('../tests/web/browser_test.js');

(async () => {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'vrelay-web-bench-'));
  const browser = await puppeteer.launch({executablePath: '/usr/bin/chromium', headless: true,
                                          args: [...LAUNCH_FLAGS, `--user-data-dir=${profile}`]});
  try {
    const page = await browser.newPage();
    await page.setBypassCSP(true);
    await page.evaluateOnNewDocument(instrument);
    await page.goto(process.argv[2]);
    await waitStatus(page, /^Ready/);
    await page.waitForFunction(() => window.__probe.ready);
    const sentence = 'Every word lights up as you hear it, and a click on a word speaks from there.';
    for (const [label, words] of [['a 16-word sentence', 1], ['a 200 KB text', 2700]]) {
      const text = Array(words).fill(sentence).join(' ');
      await setText(page, text);
      const times = [];
      for (let run = 0; run < 5; run++) {
        await page.evaluate(() => Object.assign(window.__probe, {onsets: [], marks: [], stamps: []}));
        await page.click('#speak');
        await page.waitForFunction(() => window.__probe.onsets.length > 0, {timeout: 20000});
        const probe = await probeTimes(page);
        times.push(probe.firstSoundAt - probe.speakAt);
        await page.click('#stop');
        await waitStatus(page, /^Stopped\./);
      }
      times.sort((a, b) => a - b);
      const median = times[2];
      console.log(`| vrelay-web: first sound after Speak, ${label} (espeak-ng, headless Chromium) ` +
                  `| - | - | ${median.toFixed(0)} ms | - | under 300 ms | ${median < 300 ? 'yes' : '**no**'} |`);
    }
  } finally {
    await browser.close();
    fs.rmSync(profile, {recursive: true, force: true});
  }
})().catch((error) => {
  console.error(error);
  process.exit(1);
});
