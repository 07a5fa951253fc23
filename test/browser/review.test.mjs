// Drives the archive review page in Debian's chromium (headless): open a generated archive,
// filter, label ten patches with the keyboard, reload and find the labels kept, check the files
// written, and watch a missing archive appear. Run by ctest:
//   node review.test.mjs --review BIN --make-archive BIN --samples DIR [--screenshots DIR]
import assert from 'node:assert/strict';
import {spawn, execFileSync} from 'node:child_process';
import {createHash} from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {chromium} from 'playwright-core';

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const CHROMIUM_ARGS = ['--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--disable-dev-shm-usage'];
const FRAMES = 240;
const FIRST_SEC = 1765100000;  // make_review_archive's first stamp

function option(name) {
  const at = process.argv.indexOf(name);
  return at > 0 ? process.argv[at + 1] : undefined;
}

// Starts water_stain_review on a free port and resolves with its URL once it listens.
function startReview(archive, labels) {
  const child = spawn(option('--review'), [archive, '--labels', labels, '--port', '0'],
    {stdio: ['ignore', 'pipe', 'inherit']});
  return new Promise((resolve, reject) => {
    let output = '';
    child.stdout.on('data', (chunk) => {
      output += chunk;
      const found = output.match(/open (http:\/\/127\.0\.0\.1:\d+\/)/);
      if (found) resolve({child, url: found[1]});
    });
    child.once('exit', (code) => reject(new Error(`water_stain_review exited with ${code}`)));
  });
}

// SIGTERM, then the exit status: non-zero would mean an unclean stop (or a sanitizer's report).
async function stopReview(review) {
  if (review.child.exitCode !== null) return review.child.exitCode;
  const exited = new Promise((resolve) => review.child.once('exit', (code) => resolve(code)));
  review.child.kill('SIGTERM');
  return exited;
}

function makeArchive(folder, frames) {
  execFileSync(option('--make-archive'), [folder, String(frames), option('--samples')]);
}

// Every file of the archive with its content hash: the review must leave it exactly so.
function archiveDigest(folder) {
  const lines = [];
  for (const category of fs.readdirSync(folder).sort()) {
    for (const file of fs.readdirSync(path.join(folder, category)).sort()) {
      const bytes = fs.readFileSync(path.join(folder, category, file));
      lines.push(`${category}/${file} ${createHash('sha256').update(bytes).digest('hex')}`);
    }
  }
  return lines.join('\n');
}

async function gridIds(page) {
  return page.$$eval('#grid .cell', (cells) => cells.map((cell) => cell.dataset.id));
}

async function waitForGrid(page) {
  await page.waitForSelector('#grid .cell');
  await page.waitForFunction(() => [...document.querySelectorAll('#grid .cell img')].slice(0, 24)
    .every((image) => image.complete && image.naturalWidth > 0));
}

async function screenshot(page, name, options = {}) {
  const folder = option('--screenshots');
  if (folder) {
    fs.mkdirSync(folder, {recursive: true});
    await page.screenshot({path: path.join(folder, name), ...options});
  }
}

async function filtersNarrowTheGrid(page) {
  await page.uncheck('input[name=camera][value=front]');
  await page.uncheck('input[name=camera][value=fisheye]');
  await page.waitForFunction(() => [...document.querySelectorAll('#grid .cell')]
    .every((cell) => cell.dataset.id.startsWith('rear/')));
  const rear = await page.evaluate(() => fetch('/api/patches?cameras=rear&limit=0')
    .then((r) => r.json()));
  assert.equal(rear.total, FRAMES / 3);
  assert.match(await page.textContent('#page-status'), new RegExp(`of ${FRAMES / 3}$`));
  await page.uncheck('input[name=verdict][value=clean]');
  await page.waitForFunction(() => [...document.querySelectorAll('#grid .cell')]
    .every((cell) => cell.dataset.id.startsWith('rear/') && !cell.classList.contains('clean')));
  for (const value of ['front', 'fisheye']) await page.check(`input[name=camera][value=${value}]`);
  await page.check('input[name=verdict][value=clean]');

  const from = FIRST_SEC + 1;
  const to = FIRST_SEC + 1.5;
  await page.fill('#time-from', String(from));
  await page.fill('#time-to', String(to));
  await page.press('#time-to', 'Tab');
  const inRange = await page.evaluate(([a, b]) => fetch(`/api/patches?from=${a}&to=${b}&limit=0`)
    .then((r) => r.json()), [from, to]);
  assert.ok(inRange.total > 0 && inRange.total < FRAMES);
  await page.waitForFunction((total) =>
    document.querySelector('#page-status').textContent === `1–${total} of ${total}`, inRange.total);
  for (const id of await gridIds(page)) {
    const [sec, nanosec] = id.split('/')[1].split('.').map(Number);
    assert.ok(sec + nanosec * 1e-9 >= from && sec + nanosec * 1e-9 <= to, id);
  }
  await page.click('#time-reset');
  await page.waitForFunction((frames) =>
    document.querySelector('#page-status').textContent === `1–120 of ${frames}`, FRAMES);
  await page.waitForFunction((frames) =>
    document.querySelector('#page-status').textContent.endsWith(`of ${frames}`), FRAMES);
}

// A click on the timeline starts the grid anywhere; ArrowLeft on its first patch must select the
// patch just before it, on the page before.
async function arrowLeftAfterATimelineJump(page) {
  const all = await page.evaluate(() => fetch('/api/patches?limit=500').then((r) => r.json()));
  const box = await page.locator('#timeline').boundingBox();
  await page.mouse.click(box.x + box.width * 0.3, box.y + box.height / 2);
  await page.waitForFunction(() =>
    !document.querySelector('#page-status').textContent.startsWith('1–'));
  const offset = Number((await page.textContent('#page-status')).split('–')[0]) - 1;
  assert.notEqual(offset % 120, 0, `the jump landed on a page boundary (${offset})`);
  await page.keyboard.press('ArrowLeft');
  await page.waitForFunction(() =>
    document.querySelector('#page-status').textContent.startsWith('1–'));
  assert.equal(await page.getAttribute('#grid .cell.selected', 'data-id'),
    all.patches[offset - 1].id);
}

async function labelTenWithKeys(page) {
  const keys = ['1', '2', '3', '0', '2', '2', '1', '3', '1', '2'];
  const names = {'1': 'clean', '2': 'dirty', '3': 'stubborn', '0': 'unusable'};
  const ids = (await gridIds(page)).slice(0, keys.length);
  await page.click('#grid .cell >> nth=0');
  const waited = 7;
  for (const [index, key] of keys.slice(0, waited).entries()) {
    await page.keyboard.press(key);
    await page.waitForSelector(`#grid .cell[data-index="${index}"] .badge.label`);
    await page.waitForSelector(`#grid .cell[data-index="${index + 1}"].selected`);
  }
  // The rest without waiting: each key must still label the next patch.
  for (const key of keys.slice(waited)) {
    await page.keyboard.press(key);
  }
  await page.waitForSelector(`#grid .cell[data-index="${keys.length}"].selected`);
  return Object.fromEntries(ids.map((id, index) => [id, names[keys[index]]]));
}

async function labelsShown(page) {
  return page.$$eval('#grid .cell', (cells) => Object.fromEntries(cells
    .filter((cell) => cell.querySelector('.badge.label'))
    .map((cell) => [cell.dataset.id, cell.querySelector('.badge.label').textContent])));
}

function checkLabelFiles(labels, archive, expected, verdicts) {
  const log = fs.readFileSync(path.join(labels, 'decisions.csv'), 'utf8').trim().split('\n');
  assert.equal(log[0], 'decided_at,camera,stamp,node_verdict,vlm,label');
  assert.equal(log.length, 1 + Object.keys(expected).length);
  for (const [id, label] of Object.entries(expected)) {
    const [camera, stamp] = id.split('/');
    const line = log.find((row) => row.split(',')[1] === camera && row.split(',')[2] === stamp);
    assert.ok(line, `no decision logged for ${id}`);
    assert.equal(line.split(',')[5], label);
    for (const folder of ['clean', 'dirty', 'stubborn']) {
      const file = path.join(labels, folder, `${camera}_${stamp}.jpg`);
      assert.equal(fs.existsSync(file), folder === label, `${file}`);
      if (folder === label) {
        const category = verdicts[id].category;
        assert.deepEqual(fs.readFileSync(file), fs.readFileSync(path.join(archive, category, `${stamp}.jpg`)));
      }
    }
  }
}

async function missingArchiveAppears(browser, scratch) {
  const archive = path.join(scratch, 'later');
  const review = await startReview(archive, path.join(scratch, 'later_labels'));
  try {
    const page = await browser.newPage({viewport: {width: 1000, height: 600}});
    await page.goto(review.url);
    await page.waitForSelector('#notice:not([hidden]) >> text=No archive yet');
    await screenshot(page, 'review_missing.png');
    makeArchive(archive, 30);
    await page.waitForSelector('#grid .cell', {timeout: 15000});
    assert.equal(await page.isHidden('#notice'), true);
    await page.close();
  } finally {
    assert.equal(await stopReview(review), 0);
  }
}

async function main() {
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'review-browser-'));
  const archive = path.join(scratch, 'images');
  const labels = path.join(scratch, 'labels');
  makeArchive(archive, FRAMES);
  const before = archiveDigest(archive);
  const review = await startReview(archive, labels);
  // chromiumSandbox false: CI runs as root. Playwright gives each launch a fresh profile.
  const browser = await chromium.launch({executablePath: CHROMIUM, chromiumSandbox: false,
    args: CHROMIUM_ARGS});
  const errors = [];
  try {
    const page = await browser.newPage({viewport: {width: 1280, height: 900}});
    page.on('pageerror', (error) => errors.push(error.message));
    await page.goto(review.url);
    await waitForGrid(page);
    await screenshot(page, 'review_main.png');
    await filtersNarrowTheGrid(page);
    await waitForGrid(page);
    await arrowLeftAfterATimelineJump(page);
    await page.reload();
    await waitForGrid(page);

    const patches = await page.evaluate(() => fetch('/api/patches?limit=500').then((r) => r.json()));
    const verdicts = Object.fromEntries(patches.patches.map((p) => [p.id,
      {verdict: p.verdict, category: p.image.split('/')[2]}]));
    const expected = await labelTenWithKeys(page);
    await page.keyboard.press('Enter');
    await page.waitForSelector('#neighbours .cell.current');
    await page.waitForFunction(() => document.querySelector('#large-image').naturalWidth > 0);
    await screenshot(page, 'review_large.png');
    await page.keyboard.press('Escape');
    await page.locator('#summary-section').scrollIntoViewIfNeeded();
    await screenshot(page, 'review_summary.png', {fullPage: false});

    await page.reload();
    await waitForGrid(page);
    assert.deepEqual(await labelsShown(page), expected);
    assert.match(await page.textContent('#review-progress'), /10 labelled/);
    // Frames whose verdict was not filed are not compared.
    const compared = Object.entries(expected)
      .filter(([id, label]) => label !== 'unusable' && verdicts[id].verdict !== 'none');
    const disagreed = compared.filter(([id, label]) => label !== verdicts[id].verdict).length;
    const labelled = compared.length;
    assert.equal(await page.textContent('#summary-all'), `${disagreed} of ${labelled}`);
    await page.selectOption('#review-filter', 'labelled');
    await page.waitForFunction(() => document.querySelector('#page-status').textContent === '1–10 of 10');
    checkLabelFiles(labels, archive, expected, verdicts);
    assert.equal(archiveDigest(archive), before, 'the archive was altered');

    await missingArchiveAppears(browser, scratch);
    assert.deepEqual(errors, []);
    assert.equal(await stopReview(review), 0);
  } finally {
    await browser.close();
    review.child.kill();
    fs.rmSync(scratch, {recursive: true, force: true});
  }
  console.log('review page: filters, ten keyboard labels kept across a reload, files, ' +
    'missing archive picked up: ok');
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
