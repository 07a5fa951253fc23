'use strict';
// The review page: filters, timeline, grid, large view and summary over the review server's API.

const VERDICTS = ['clean', 'dirty', 'stubborn', 'none'];
const LABELS = ['clean', 'dirty', 'stubborn', 'unusable'];
const LABEL_KEYS = {'1': 'clean', '2': 'dirty', '3': 'stubborn', '0': 'unusable'};
const CAMERAS = ['rear', 'front', 'fisheye'];
const COLOURS = {clean: '#3a9a4a', dirty: '#e08a1e', stubborn: '#b8262e', none: '#8a8f98', vlm: '#3c5fd6'};
const PAGE_SIZE = 120;
const POLL_MS = 4000;

const state = {
  status: null,
  page: {offset: 0, total: 0, patches: []},
  selected: 0,
  timeline: null,
  drag: null,
  pageRequest: 0,
  timelineRequest: 0,
};

const $ = (id) => document.getElementById(id);

function formatTime(t) {
  if (t > 1e9) {
    return new Date(t * 1000).toISOString().replace('T', ' ').replace('Z', ' UTC');
  }
  return t.toFixed(3) + ' s';
}

async function api(path, params = {}, options = {}) {
  const url = path + '?' + new URLSearchParams(params).toString();
  const response = await fetch(url, options);
  const body = await response.json().catch(() => ({error: response.statusText}));
  if (!response.ok) {
    throw new Error(body.error || response.statusText);
  }
  return body;
}

function filterParams() {
  const checked = (name) => [...document.querySelectorAll(`input[name=${name}]:checked`)]
    .map((input) => input.value).join(',');
  const params = {cameras: checked('camera'), verdicts: checked('verdict'),
    review: $('review-filter').value};
  if ($('vlm-only').checked) params.vlm = '1';
  for (const [name, id] of [['from', 'time-from'], ['to', 'time-to']]) {
    const value = $(id).value.trim();
    if (value !== '') params[name] = value;
  }
  return params;
}

function showNotice(html, problem) {
  $('notice').innerHTML = html;
  $('notice').className = problem ? 'problem' : '';
  $('notice').hidden = false;
  $('review').hidden = true;
}

function escapeHtml(text) {
  return String(text).replace(/[&<>"]/g, (c) => ({'&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;'}[c]));
}

// True when the archive can be reviewed; otherwise explains why not on the page.
function archiveReady(status) {
  $('archive-path').textContent = status.archive;
  const path = `<code>${escapeHtml(status.archive)}</code>`;
  if (!status.archive_exists) {
    showNotice(`<h2>No archive yet</h2><p>There is no folder ${path}. Start the node there, or ` +
      'copy an archive off a robot to that place: this page picks it up by itself.</p>', true);
    return false;
  }
  if (status.total === 0) {
    showNotice(`<h2>The archive is empty</h2><p>${path} holds no patches yet. Patches appear ` +
      'here as the node writes them.</p>', false);
    return false;
  }
  $('notice').hidden = true;
  $('review').hidden = false;
  return true;
}

function updateProgress() {
  const status = state.status;
  $('review-progress').textContent = status ?
    `${status.total} patches, ${status.labelled} labelled` : '';
}

async function refreshStatus() {
  const previous = state.status;
  state.status = await api('/api/status');
  updateProgress();
  if (!archiveReady(state.status)) return;
  const first = !previous || previous.total === 0 || !previous.archive_exists;
  if (first) {
    await reloadAll();
  } else if (previous.total !== state.status.total) {
    await Promise.all([loadTimeline(), loadCounts()]);
  }
}

async function reloadAll() {
  state.selected = 0;
  await Promise.all([loadPage({offset: 0}), loadTimeline(), loadSummary()]);
}

// ---- grid ----

async function loadPage(position) {
  // Filters can change faster than answers arrive: only the latest request may fill the grid.
  const request = ++state.pageRequest;
  try {
    const page = await api('/api/patches', {...filterParams(), limit: PAGE_SIZE, ...position});
    if (request !== state.pageRequest) return;
    state.page = page;
    state.selected = Math.min(state.selected, Math.max(0, page.patches.length - 1));
    renderCounts(page.counts);
    renderGrid();
  } catch (error) {
    $('page-status').textContent = error.message;
  }
}

async function loadCounts() {
  const request = state.pageRequest;
  const page = await api('/api/patches', {...filterParams(), limit: 0});
  if (request === state.pageRequest) renderCounts(page.counts);
}

function renderCounts(counts) {
  const rows = CAMERAS.map((camera) => {
    const c = counts[camera];
    return `<tr><td>${camera}</td>${VERDICTS.map((v) => `<td>${c[v]}</td>`).join('')}` +
      `<td>${c.vlm}</td></tr>`;
  });
  $('counts').innerHTML = '<tr><th>camera</th><th class="verdict-clean">clean</th>' +
    '<th class="verdict-dirty">dirty</th><th class="verdict-stubborn">stubborn</th>' +
    '<th class="verdict-none">not filed</th><th>VLM consulted</th></tr>' + rows.join('');
}

function cellHtml(patch, index, extraClass = '') {
  const disagreed = patch.label && patch.label !== 'unusable' && patch.label !== patch.verdict;
  return `<div class="cell ${patch.verdict} ${extraClass}" data-index="${index}" ` +
    `data-id="${escapeHtml(patch.id)}" title="${escapeHtml(patch.id)} (${patch.verdict})">` +
    `<img src="${patch.thumb}" alt="" loading="lazy">` +
    (patch.vlm ? '<span class="badge vlm">VLM</span>' : '') +
    (patch.label ? `<span class="badge label${disagreed ? ' disagreed' : ''}">${patch.label}</span>` : '') +
    `<div class="caption"><span>${patch.camera}</span><span>${formatTime(patch.t).slice(11, 23)}</span></div></div>`;
}

function renderGrid() {
  const page = state.page;
  $('grid').innerHTML = page.patches.map((patch, index) =>
    cellHtml(patch, index, index === state.selected ? 'selected' : '')).join('');
  const last = page.offset + page.patches.length;
  $('page-status').textContent = page.total === 0 ? 'no patch matches the filters' :
    `${page.offset + 1}–${last} of ${page.total}`;
  $('page-previous').disabled = page.offset === 0;
  $('page-next').disabled = last >= page.total;
}

function select(index) {
  const cells = $('grid').children;
  cells[state.selected]?.classList.remove('selected');
  state.selected = index;
  cells[index]?.classList.add('selected');
  cells[index]?.scrollIntoView({block: 'nearest'});
  if (!$('large-view').hidden) showLarge();
}

// Moves the selection by `step`, crossing into the neighbouring page when needed.
async function move(step) {
  const page = state.page;
  const target = state.selected + step;
  if (target >= 0 && target < page.patches.length) {
    select(target);
    return;
  }
  if (target >= page.patches.length && page.patches.length > 0) {
    const lastId = page.patches[page.patches.length - 1].id;
    state.selected = 0;
    await loadPage({after: lastId});
  } else if (target < 0 && page.offset > 0) {
    // After a jump along the timeline the page need not start at a multiple of its size.
    const offset = Math.max(0, page.offset - PAGE_SIZE);
    state.selected = page.offset - 1 - offset;
    await loadPage({offset});
  }
  if (!$('large-view').hidden) showLarge();
}

// Label keys take effect one after another, each on the patch selected once the one before has
// been stored and the selection has moved on: keys pressed faster than the server answers would
// otherwise all label the same patch, in whatever order their requests finish.
let labelling = Promise.resolve();

function label(name) {
  labelling = labelling.then(() => labelSelected(name));
  return labelling;
}

async function labelSelected(name) {
  const patch = state.page.patches[state.selected];
  if (!patch) return;
  try {
    const updated = await api('/api/label', {id: patch.id, label: name},
      {method: 'POST', headers: {'X-Review-Request': '1'}});
    const {filing_problem: filingProblem, ...fields} = updated;
    Object.assign(patch, fields);
    if (filingProblem) {
      alert(`${patch.id} is labelled ${name}, but its image was not filed: ${filingProblem}`);
    }
    const cell = $('grid').children[state.selected];
    if (cell) cell.outerHTML = cellHtml(patch, state.selected, 'selected');
    if (state.status) {
      state.status = await api('/api/status');
      updateProgress();
    }
    loadSummary();
    await move(1);
  } catch (error) {
    alert(`Could not label ${patch.id}: ${error.message}`);
  }
}

// ---- large view ----

async function showLarge() {
  const patch = state.page.patches[state.selected];
  if (!patch) return;
  $('large-view').hidden = false;
  const image = $('large-image');
  image.src = patch.image;
  image.className = patch.verdict;
  $('large-info').innerHTML = `<b>${patch.camera}</b> ${formatTime(patch.t)} ` +
    `(stamp ${patch.stamp}) · node: <b class="verdict-${patch.verdict}">${patch.verdict === 'none' ? 'not filed' : patch.verdict}</b>` +
    (patch.vlm ? ' · sent to the VLM' : '') +
    ` · reviewer: <b id="large-label">${patch.label || '—'}</b>`;
  try {
    const around = await api('/api/neighbours', {id: patch.id, n: 3});
    if (state.page.patches[state.selected] !== patch) return;
    $('neighbours').innerHTML = [...around.before.map((p) => cellHtml(p, -1)),
      cellHtml(around.patch, -1, 'current'), ...around.after.map((p) => cellHtml(p, -1))].join('');
  } catch (error) {
    $('neighbours').textContent = error.message;
  }
}

function hideLarge() {
  $('large-view').hidden = true;
}

// ---- timeline ----

async function loadTimeline() {
  const canvas = $('timeline');
  const width = Math.max(200, Math.floor(canvas.clientWidth));
  const request = ++state.timelineRequest;
  const timeline = await api('/api/timeline', {...filterParams(), bins: width});
  if (request !== state.timelineRequest) return;
  state.timeline = timeline;
  drawTimeline();
}

function drawTimeline() {
  const canvas = $('timeline');
  const timeline = state.timeline;
  const width = Math.max(200, Math.floor(canvas.clientWidth));
  canvas.width = width;
  const context = canvas.getContext('2d');
  context.clearRect(0, 0, width, canvas.height);
  if (!timeline || !timeline.bins) return;
  const rowHeight = canvas.height / CAMERAS.length;
  const barHeight = rowHeight - 16;
  CAMERAS.forEach((camera, row) => {
    const top = row * rowHeight;
    context.fillStyle = '#6b717c';
    context.font = '11px sans-serif';
    context.fillText(camera, 2, top + 11);
    let peak = 1;
    for (const bin of timeline.cameras[camera]) peak = Math.max(peak, bin[1] + bin[2] + bin[3] + bin[4]);
    for (const bin of timeline.cameras[camera]) {
      const x = bin[0] * width / timeline.bins;
      const w = Math.max(1, width / timeline.bins);
      let y = top + rowHeight - 2;
      VERDICTS.forEach((verdict, v) => {
        const h = bin[1 + v] / peak * barHeight;
        context.fillStyle = COLOURS[verdict];
        context.fillRect(x, y - h, w, h);
        y -= h;
      });
      if (bin[5] > 0) {
        context.fillStyle = COLOURS.vlm;
        context.fillRect(x, top + 12, w, 3);
      }
    }
  });
  $('axis-from').textContent = formatTime(timeline.from);
  $('axis-to').textContent = formatTime(timeline.to);
  if (state.drag) {
    const [a, b] = [Math.min(state.drag.x0, state.drag.x1), Math.max(state.drag.x0, state.drag.x1)];
    context.fillStyle = 'rgba(60, 95, 214, 0.2)';
    context.fillRect(a, 0, b - a, canvas.height);
  }
}

function timeAt(x) {
  const timeline = state.timeline;
  const width = $('timeline').clientWidth;
  return timeline.from + (timeline.to - timeline.from) * Math.min(Math.max(x / width, 0), 1);
}

function setupTimeline() {
  const canvas = $('timeline');
  const x = (event) => event.clientX - canvas.getBoundingClientRect().left;
  canvas.addEventListener('mousedown', (event) => {
    state.drag = {x0: x(event), x1: x(event)};
  });
  canvas.addEventListener('mousemove', (event) => {
    if (!state.drag) return;
    state.drag.x1 = x(event);
    drawTimeline();
  });
  window.addEventListener('mouseup', async () => {
    const drag = state.drag;
    state.drag = null;
    if (!drag || !state.timeline) return;
    if (Math.abs(drag.x1 - drag.x0) < 4) {
      state.selected = 0;
      await loadPage({at: timeAt(drag.x0)});
      drawTimeline();
      return;
    }
    $('time-from').value = timeAt(Math.min(drag.x0, drag.x1)).toFixed(3);
    $('time-to').value = timeAt(Math.max(drag.x0, drag.x1)).toFixed(3);
    await reloadAll();
  });
  window.addEventListener('resize', () => loadTimeline());
}

// ---- summary ----

// A frame whose verdict was not filed has nothing to disagree with: it counts as not compared.
function summaryRow(camera, verdict, counts) {
  const labelled = verdict === 'none' ? 0 : counts.clean + counts.dirty + counts.stubborn;
  const disagreed = verdict === 'none' ? 0 : labelled - counts[verdict];
  const share = labelled ? `${(100 * disagreed / labelled).toFixed(0)} %` : '–';
  const said = verdict === 'none' ? 'not filed' : verdict;
  return {labelled, disagreed, html: `<td class="verdict-${verdict}">${said}</td>` +
    LABELS.map((l) => `<td>${counts[l]}</td>`).join('') +
    (verdict === 'none' ? '<td>not compared</td><td>–</td>' :
      `<td>${disagreed} of ${labelled}</td><td>${share}</td>`)};
}

function totalRow(name, id, total) {
  const share = total.compared ? `${(100 * total.disagreed / total.compared).toFixed(0)} %` : '–';
  return `<tr class="total"><th>${name}</th><th>all</th>` +
    LABELS.map((l) => `<th>${total[l]}</th>`).join('') +
    `<th${id ? ` id="${id}"` : ''}>${total.disagreed} of ${total.compared}</th><th>${share}</th></tr>`;
}

// Per camera: one row per verdict the node gave, then the camera's total; then all cameras.
async function loadSummary() {
  const summary = await api('/api/summary');
  const rows = [];
  const zero = () => ({clean: 0, dirty: 0, stubborn: 0, unusable: 0, disagreed: 0, compared: 0});
  const all = zero();
  for (const camera of CAMERAS) {
    const total = zero();
    for (const verdict of VERDICTS) {
      const counts = summary.cameras[camera][verdict];
      if (LABELS.every((l) => counts[l] === 0)) continue;
      const row = summaryRow(camera, verdict, counts);
      rows.push(`<tr><td>${camera}</td>${row.html}</tr>`);
      for (const l of LABELS) total[l] += counts[l];
      total.disagreed += row.disagreed;
      total.compared += row.labelled;
    }
    if (LABELS.some((l) => total[l] > 0)) {
      rows.push(totalRow(camera, '', total));
      for (const key of Object.keys(all)) all[key] += total[key];
    }
  }
  $('summary').innerHTML = '<tr><th>camera</th><th>node said</th><th>→ clean</th><th>→ dirty</th>' +
    '<th>→ stubborn</th><th>unusable</th><th>disagreed</th><th>share</th></tr>' +
    (rows.length ? rows.join('') + totalRow('all cameras', 'summary-all', all) :
      '<tr><td colspan="8">Nothing labelled yet.</td></tr>');
}

// ---- keys and controls ----

function onKey(event) {
  if (event.target.tagName === 'INPUT' && event.target.type === 'text') return;
  if (event.target.tagName === 'SELECT') return;
  const largeOpen = !$('large-view').hidden;
  if (LABEL_KEYS[event.key]) {
    event.preventDefault();
    label(LABEL_KEYS[event.key]);
    return;
  }
  const columns = Math.max(1, Math.round($('grid').clientWidth / 138));
  const moves = {ArrowRight: 1, ArrowLeft: -1, ArrowDown: largeOpen ? 1 : columns,
    ArrowUp: largeOpen ? -1 : -columns};
  if (moves[event.key]) {
    event.preventDefault();
    move(moves[event.key]);
  } else if (event.key === 'Enter') {
    event.preventDefault();
    showLarge();
  } else if (event.key === 'Escape') {
    hideLarge();
  } else if (event.key === 'PageDown') {
    event.preventDefault();
    $('page-next').click();
  } else if (event.key === 'PageUp') {
    event.preventDefault();
    $('page-previous').click();
  }
}

function setupControls() {
  for (const input of document.querySelectorAll('#filters input[type=checkbox], #review-filter')) {
    input.addEventListener('change', reloadAll);
  }
  for (const id of ['time-from', 'time-to']) {
    $(id).addEventListener('change', reloadAll);
  }
  $('time-reset').addEventListener('click', () => {
    $('time-from').value = '';
    $('time-to').value = '';
    reloadAll();
  });
  $('page-next').addEventListener('click', () => {
    state.selected = 0;
    loadPage({offset: state.page.offset + PAGE_SIZE});
  });
  $('page-previous').addEventListener('click', () => {
    state.selected = 0;
    loadPage({offset: Math.max(0, state.page.offset - PAGE_SIZE)});
  });
  $('grid').addEventListener('click', (event) => {
    const cell = event.target.closest('.cell');
    if (cell) select(Number(cell.dataset.index));
  });
  $('grid').addEventListener('dblclick', (event) => {
    if (event.target.closest('.cell')) showLarge();
  });
  $('large-view').addEventListener('click', (event) => {
    if (event.target === $('large-view')) hideLarge();
  });
  document.addEventListener('keydown', onKey);
}

async function poll() {
  try {
    await refreshStatus();
  } catch (error) {
    showNotice(`<h2>The review server does not answer</h2><p>${escapeHtml(error.message)}</p>`, true);
  }
  setTimeout(poll, POLL_MS);
}

setupControls();
setupTimeline();
poll();
