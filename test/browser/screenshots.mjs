// Screenshots of the review page for the README, over any archive (e.g. a simulated run's):
// labels a few patches with the keyboard into a scratch labels folder, then captures the main
// view, the large view and the summary.
//   node screenshots.mjs --review BIN --out DIR ARCHIVE
import {spawn} from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {chromium} from 'playwright-core';

const option = (name) => process.argv[process.argv.indexOf(name) + 1];
const archive = process.argv[process.argv.length - 1];
const out = option('--out');
const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'review-shots-'));
const server = spawn(option('--review'), [archive, '--labels', path.join(scratch, 'labels'),
  '--port', '0'], {stdio: ['ignore', 'pipe', 'inherit']});
const url = await new Promise((resolve) => {
  let output = '';
  server.stdout.on('data', (chunk) => {
    output += chunk;
    const found = output.match(/open (http:\/\/127\.0\.0\.1:\d+\/)/);
    if (found) resolve(found[1]);
  });
});
const browser = await chromium.launch({executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  chromiumSandbox: false, args: ['--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--disable-dev-shm-usage']});
const loaded = () => page.waitForFunction(() => [...document.querySelectorAll('#grid .cell img')]
  .slice(0, 32).every((image) => image.complete && image.naturalWidth > 0));
const page = await browser.newPage({viewport: {width: 1280, height: 1000}});
try {
  fs.mkdirSync(out, {recursive: true});
  await page.goto(url);
  await page.waitForSelector('#grid .cell');
  await page.selectOption('#review-filter', 'all');
  await page.click('#grid .cell >> nth=0');
  for (const key of '1121133212312011213213') {
    const before = await page.evaluate(() => state.status.labelled);
    await page.keyboard.press(key);
    await page.waitForFunction((count) => state.status.labelled > count, before);
  }
  await page.click('#grid .cell >> nth=0');
  await loaded();
  await page.evaluate(() => window.scrollTo(0, 0));
  await page.screenshot({path: path.join(out, 'review_main.png')});
  await page.click('#grid .cell >> nth=13');
  await page.keyboard.press('Enter');
  await page.waitForSelector('#neighbours .cell.current');
  await page.waitForFunction(() => [...document.querySelectorAll('#neighbours img, #large-image')]
    .every((image) => image.complete && image.naturalWidth > 0));
  await page.screenshot({path: path.join(out, 'review_large.png')});
  await page.keyboard.press('Escape');
  await page.setViewportSize({width: 1280, height: 460});
  await page.locator('#summary-section').scrollIntoViewIfNeeded();
  await page.waitForTimeout(1500);  // thumbnails load lazily as they scroll into view
  await page.screenshot({path: path.join(out, 'review_summary.png')});
} finally {
  await browser.close();
  server.kill();
  fs.rmSync(scratch, {recursive: true, force: true});
}
