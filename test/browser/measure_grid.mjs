// Measures how long the review page takes to show its first grid page of an archive: from
// starting water_stain_review (cold: nothing listed, no thumbnail made) to the first 24
// thumbnails decoded in headless chromium, then once more with the server warm.
//   node measure_grid.mjs --review BIN ARCHIVE
import {spawn} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {chromium} from 'playwright-core';

const review = process.argv[process.argv.indexOf('--review') + 1];
const archive = process.argv[process.argv.length - 1];
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'review-measure-'));

const started = performance.now();
const server = spawn(review, [archive, '--labels', path.join(scratch, 'labels'), '--port', '0'],
  {stdio: ['ignore', 'pipe', 'inherit']});
const url = await new Promise((resolve) => {
  let output = '';
  server.stdout.on('data', (chunk) => {
    output += chunk;
    const found = output.match(/open (http:\/\/127\.0\.0\.1:\d+\/)/);
    if (found) resolve(found[1]);
  });
});
const listening = performance.now();
const browser = await chromium.launch({executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  chromiumSandbox: false, args: ['--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--disable-dev-shm-usage']});
try {
  for (const round of ['cold', 'warm']) {
    const page = await browser.newPage({viewport: {width: 1280, height: 900}});
    const opened = performance.now();
    await page.goto(url);
    await page.waitForFunction(() => {
      const images = [...document.querySelectorAll('#grid .cell img')].slice(0, 24);
      return images.length === 24 && images.every((image) => image.complete && image.naturalWidth > 0);
    }, null, {timeout: 120000, polling: 20});
    const shown = performance.now();
    const status = await page.textContent('#page-status');
    console.log(`${round}: first grid page (${status}) ${(shown - opened).toFixed(0)} ms after ` +
      `opening the page` + (round === 'cold' ? `; server start to listening ` +
      `${(listening - started).toFixed(0)} ms (includes listing the archive)` : ''));
    await page.close();
  }
} finally {
  await browser.close();
  server.kill();
  fs.rmSync(scratch, {recursive: true, force: true});
}
