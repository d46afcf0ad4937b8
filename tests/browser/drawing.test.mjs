// How the page draws what it is given: badges, figures, GPU cards with chips
// and charts, the process table, empty answers and failed refreshes. Each
// answer is handed to the real served page through request interception.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { serveForFile, newPage, closePage, feed, draw, redraw, doc, gpu, text, until, expectConsoleErrors, failedLoad } from './harness.mjs';

const ctx = serveForFile();

async function open() {
  const page = await newPage(ctx.browser);
  const f = await feed(page);
  await page.goto(ctx.server.base + '/plugin_vistrel');
  return { page, f };
}

const DASH = '\u2014';

// What the page shows in its top bar, figures and toggled sections.
function summary(page) {
  return page.evaluate(() => {
    const t = (id) => document.getElementById(id).textContent;
    // as shown: the class hide has to win over the element's own display rule
    const hidden = (id) => getComputedStyle(document.getElementById(id)).display === 'none';
    return {
      src: t('srcBadge'), srcClass: document.getElementById('srcBadge').className, drv: t('drvBadge'),
      stamp: t('stamp'), figures: ['kGpus', 'kUtil', 'kMem', 'kPower', 'kProcs'].map(t),
      cards: document.querySelectorAll('#gpuGrid > .gpu').length, rows: document.querySelectorAll('#procRows > tr').length,
      emptyHidden: hidden('emptyState'), legendHidden: hidden('legend'), procEmptyHidden: hidden('procEmpty'),
    };
  });
}

function cards(page) {
  return page.$$eval('#gpuGrid > .gpu', (els) =>
    els.map((c) => ({
      idx: c.querySelector('.h .idx').textContent,
      name: c.querySelector('.h .nm').textContent,
      uuid: c.querySelector('.uuid').textContent,
      chips: [...c.querySelectorAll('.chips > span')].map((s) => `${s.className}|${s.textContent}`),
      markup: c.querySelectorAll('.nm *').length,
    })),
  );
}

function rows(page) {
  return page.$$eval('#procRows > tr', (trs) => trs.map((tr) => [...tr.cells].map((td) => `${td.className}|${td.textContent}`)));
}

test('a full answer: badges, figures, cards with their chips, process rows; values stay text', async () => {
  const { page, f } = await open();
  const evil = '<img src=x onerror="window.__owned=1"><b>bold</b>';
  // temperature classes compare the reported value; power shows the limit only when non-zero
  const gpus = [
    gpu(0, { name: 'NVIDIA H100 80GB HBM3', util_gpu: 40.5, temp_c: 69, power_w: 120.4, power_limit_w: 250 }),
    gpu(3, { uuid: '', name: evil, util_gpu: 13, temp_c: 70, power_w: 99.5, power_limit_w: null }),
    gpu(5, { temp_c: 84.9, power_w: 60, power_limit_w: 0 }),
    gpu(7, { temp_c: 85, power_w: null }),
    gpu(8, { temp_c: null, util_gpu: 150, mem_used_mb: 300, mem_total_mb: 1000 }),
  ];
  const procs = [
    { gpu_uuid: 'GPU-0', gpu_index: 0, pid: 4242, name: 'python3 train.py', used_mb: 1536 },
    { gpu_uuid: '', gpu_index: -1, pid: 77, name: '<script>window.__owned=2</script>', used_mb: 12 },
    { gpu_uuid: 'GPU-3', gpu_index: 3, pid: 9, name: 'x', used_mb: null },
  ];
  await draw(page, f, doc('2026-01-02T03:04:05Z', gpus, procs, { util_gpu_avg: 26.5, mem_used_mb: 3277, mem_total_mb: 49152, power_w: 1210.5 }));

  assert.deepEqual(await summary(page), {
    src: 'nvidia', srcClass: 'pill live', drv: 'driver 550.54.15', stamp: '2026-01-02T03:04:05Z',
    figures: ['5', '27%', '3.2/48.0 GB', '1211 W', '3'], cards: 5, rows: 3,
    emptyHidden: true, legendHidden: false, procEmptyHidden: true,
  });
  const vram = 'chip|2.0 GB / 8.0 GB VRAM';
  assert.deepEqual(await cards(page), [
    { idx: 'GPU 0', name: 'NVIDIA H100 80GB HBM3', uuid: 'GPU-0', markup: 0, chips: ['chip|41% compute', vram, 'chip|69\u00b0C', 'chip|120 W / 250'] },
    { idx: 'GPU 3', name: evil, uuid: 'no uuid', markup: 0, chips: ['chip|13% compute', vram, 'chip warm|70\u00b0C', 'chip|100 W'] },
    { idx: 'GPU 5', name: 'Test GPU 5', uuid: 'GPU-5', markup: 0, chips: ['chip|40% compute', vram, 'chip warm|85\u00b0C', 'chip|60 W'] },
    { idx: 'GPU 7', name: 'Test GPU 7', uuid: 'GPU-7', markup: 0, chips: ['chip|40% compute', vram, 'chip hot|85\u00b0C'] },
    { idx: 'GPU 8', name: 'Test GPU 8', uuid: 'GPU-8', markup: 0, chips: ['chip|150% compute', 'chip|300 MB / 1000 MB VRAM', 'chip|120 W / 250'] },
  ]);
  assert.deepEqual(await rows(page), [
    ['num|0', 'num|4242', 'nm|python3 train.py', 'num|1.5 GB'],
    ['num|-', 'num|77', 'nm|<script>window.__owned=2</script>', 'num|12 MB'],
    ['num|3', 'num|9', 'nm|x', `num|${DASH}`],
  ]);
  assert.equal(await page.evaluate(() => window.__owned), undefined);
  assert.equal((await page.$$('img')).length, 0);
});

test('amounts in MB and GB, and the compact VRAM figure', async () => {
  const { page, f } = await open();
  const cases = [
    // used, total, VRAM chip, kMem
    [0, 1000, '0 MB / 1000 MB', '0/1000 MB'],
    [300, 1000, '300 MB / 1000 MB', '300/1000 MB'],
    [512, 8192, '512 MB / 8.0 GB', '512/8.0 GB'],
    [1024, 8192, '1.0 GB / 8.0 GB', '1.0/8.0 GB'],
    [1280, 8192, '1.3 GB / 8.0 GB', '1.3/8.0 GB'],
    [3277, 8192, '3.2 GB / 8.0 GB', '3.2/8.0 GB'],
    [1023, 1024, '1023 MB / 1.0 GB', '1023/1.0 GB'],
  ];
  let first = true;
  for (const [used, total, chipText, kMem] of cases) {
    const d = doc(`mem ${used}/${total}`, [gpu(0, { mem_used_mb: used, mem_total_mb: total })],
      [{ gpu_uuid: 'GPU-0', gpu_index: 0, pid: 1, name: 'p', used_mb: used }]);
    if (first) await draw(page, f, d);
    else await redraw(page, f, d);
    first = false;
    const [c] = await cards(page);
    assert.equal(c.chips[1], `chip|${chipText} VRAM`, `${used}/${total}`);
    assert.equal(await text(page, '#kMem'), kMem, `${used}/${total}`);
    assert.equal((await rows(page))[0][3], `num|${chipText.split(' / ')[0]}`, `${used}/${total}`);
  }
});

test('a document without GPUs draws the empty state; an answer that is not a metrics document is a failed refresh', async () => {
  expectConsoleErrors(failedLoad(/status of 401 \(Unauthorized\) \[.*action=metrics\]$/, /status of 502 \(Bad Gateway\) \[.*action=metrics\]$/));
  const { page, f } = await open();
  const full = (utc) => doc(utc, [gpu(0)], [{ gpu_uuid: 'GPU-0', gpu_index: 0, pid: 1, name: 'p', used_mb: 1 }]);
  const empty = {
    src: 'none', srcClass: 'pill warn', drv: 'no driver', stamp: '', figures: ['0', DASH, DASH, DASH, '0'],
    cards: 0, rows: 0, emptyHidden: false, legendHidden: true, procEmptyHidden: false,
  };
  const drawn = {
    src: 'nvidia', srcClass: 'pill live', drv: 'driver 550.54.15', figures: ['1', '40%', '2.0/8.0 GB', '120 W', '1'],
    cards: 1, rows: 1, emptyHidden: true, legendHidden: false, procEmptyHidden: true,
  };
  const cases = [
    ['no GPU found', doc('t-none', [], [], { available: false, source: 'none', driver: '' }), 200, { ...empty, stamp: 't-none' }],
    ['processes but no GPU', doc('t-procs', [], [{ gpu_uuid: 'GPU-x', gpu_index: -1, pid: 5, name: 'q', used_mb: 1 }], { source: 'mock', driver: '1.2.3' }),
      200, { ...empty, src: 'mock', drv: 'driver 1.2.3', stamp: 't-procs', figures: ['0', DASH, DASH, DASH, '1'], rows: 1, procEmptyHidden: true }],
    // What is drawn stays, the stamp says why, the empty state never shows.
    ['the password refusal, HTTP 401', { ok: false, error: 'invalid node password' }, 401, { ...drawn, stamp: 'refresh failed: invalid node password' }],
    ['a hub\'s JSON error', { ok: false, error: 'node gpu-7 is offline' }, 502, { ...drawn, stamp: 'refresh failed: node gpu-7 is offline' }],
    ['JSON that is no metrics document', { source: 'none', gpus: [] }, 200, { ...drawn, stamp: 'refresh failed' }],
    ['ok false without an error', { ok: false }, 200, { ...drawn, stamp: 'refresh failed' }],
  ];
  let before = 't0';
  await draw(page, f, full(before));
  for (const [what, body, status, want] of cases) {
    await page.click('#btnRefresh');
    await f.answer(body, status);
    await until(async () => (await text(page, '#stamp')) !== before, `${what} answered`);
    assert.deepEqual(await summary(page), want, what);
    before = `after ${what}`;
    await redraw(page, f, full(before));
  }
});

// The node's message: text in a warning notice (the orange of each theme),
// shown with GPUs or without, gone with the next answer that has none. Where
// the empty state shows and says the same, it is said once; where the message
// tells of a failure, the empty state does not claim there is no GPU.
test('the message is shown as text in a warning notice, with or without GPUs, until an answer has none', async () => {
  const notice = (page) => page.evaluate(() => {
    const n = document.getElementById('notice');
    return {
      text: n.textContent, shown: getComputedStyle(n).display !== 'none', markup: n.children.length,
      title: document.getElementById('emptyTitle').textContent,
      emptyShown: getComputedStyle(document.getElementById('emptyState')).display !== 'none',
    };
  });
  const NO_GPU = 'No local NVIDIA/AMD GPU detected';
  const lost = 'nvidia-smi: exit status 15: Unable to determine the device handle for GPU 0000:0B:00.0: Unknown Error';
  const driver = "nvidia-smi: exit status 9: NVIDIA-SMI has failed because it couldn't communicate with the NVIDIA driver.";
  const markup = '<img src=x onerror="window.__owned=1">rocm-smi: <b>ERROR</b>';
  const none = (utc, message) => doc(utc, [], [], { available: false, source: 'none', driver: '', message });
  const steps = [
    ['GPUs drawn, one lost', doc('m1', [gpu(0), gpu(2)], [], { message: lost }), { text: lost, shown: true, markup: 0, title: 'No GPU readings', emptyShown: false }],
    ['the next answer has none', doc('m2', [gpu(0)]), { text: '', shown: false, markup: 0, title: NO_GPU, emptyShown: false }],
    ['no GPU, a broken driver', none('m3', driver), { text: driver, shown: true, markup: 0, title: 'No GPU readings', emptyShown: true }],
    ['no GPU, the node has none', none('m4', NO_GPU), { text: NO_GPU, shown: false, markup: 0, title: NO_GPU, emptyShown: true }],
    ['markup in the message', doc('m5', [gpu(0)], [], { message: markup }), { text: markup, shown: true, markup: 0, title: 'No GPU readings', emptyShown: false }],
  ];
  for (const colorScheme of ['dark', 'light']) {
    const page = await newPage(ctx.browser, { colorScheme });
    const f = await feed(page);
    await page.goto(ctx.server.base + '/plugin_vistrel');
    let first = true;
    for (const [what, d, want] of steps) {
      if (first) await draw(page, f, d);
      else await redraw(page, f, d);
      first = false;
      assert.deepEqual(await notice(page), want, `${colorScheme}: ${what}`);
    }
    assert.equal(await page.evaluate(() => window.__owned), undefined);
    const border = await page.$eval('#notice', (n) => getComputedStyle(n).borderLeftColor);
    assert.equal(border, colorScheme === 'dark' ? 'rgb(255, 159, 10)' : 'rgb(255, 149, 0)', colorScheme);
    await closePage(page);
  }
});

test('the page claims no probe the program does not make', async () => {
  const { page } = await open();
  const html = await page.content();
  assert.doesNotMatch(html, /ioreg|Apple Silicon/);
});

// The charts' geometry: 100 x 40 user units, 0 % on y 39, 100 % on y 2.
test('charts: a dot for the first sample, then a full-width line; clamped; 60 samples per GPU index', async () => {
  const { page, f } = await open();
  const charts = (i) => page.$$eval(`#gpuGrid > .gpu:nth-child(${i}) svg`, (svgs) =>
    svgs.map((s) => ({
      ns: s.namespaceURI, cls: s.getAttribute('class'), box: s.getAttribute('viewBox'), par: s.getAttribute('preserveAspectRatio'),
      parts: [...s.children].map((c) => [c.tagName, ...[...c.attributes].map((a) => `${a.name}=${a.value}`).sort()].join(' ')),
    })),
  );
  const base = 'line stroke-width=0.6 stroke=rgba(255,255,255,.14) x1=0 x2=100 y1=39 y2=39';
  const line = (colour, points) =>
    `polyline fill=none points=${points} stroke-linejoin=round stroke-width=1.4 stroke=${colour} vector-effect=non-scaling-stroke`;
  const frame = { ns: 'http://www.w3.org/2000/svg', cls: 'spark', box: '0 0 100 40', par: 'none' };

  await draw(page, f, doc('s1', [gpu(0, { util_gpu: 50, mem_used_mb: 4096 }), gpu(1, { util_gpu: 10, mem_used_mb: 0 })]));
  assert.deepEqual(await charts(1), [
    { ...frame, parts: [base, 'circle cx=100 cy=20.5 fill=var(--compute) r=1.6'] },
    { ...frame, parts: [base, 'circle cx=100 cy=20.5 fill=var(--vram) r=1.6'] },
  ]);
  await redraw(page, f, doc('s2', [gpu(0, { util_gpu: 150, mem_used_mb: 0 }), gpu(1, { util_gpu: 20 })]));
  assert.deepEqual(await charts(1), [
    { ...frame, parts: [base, line('var(--compute)', '0.00,20.50 100.00,2.00')] },
    { ...frame, parts: [base, line('var(--vram)', '0.00,20.50 100.00,39.00')] },
  ]);
  // GPU 1 drops out; its history stays.
  await redraw(page, f, doc('s3', [gpu(0, { util_gpu: -5 })]));
  assert.equal((await cards(page)).length, 1);
  assert.equal((await charts(1))[0].parts[1], line('var(--compute)', '0.00,20.50 50.00,2.00 100.00,39.00'));

  for (let i = 4; i <= 60; i++) await redraw(page, f, doc(`s${i}`, [gpu(0, { util_gpu: i - 1 })]));
  // GPU 1 back, listed first: charts follow the index, not the position.
  await redraw(page, f, doc('s61', [gpu(1, { util_gpu: 30 }), gpu(0, { util_gpu: 59 })]));
  assert.equal((await charts(1))[0].parts[1], line('var(--compute)', '0.00,35.30 50.00,31.60 100.00,27.90'));
  const pts = (await page.$eval('#gpuGrid > .gpu:nth-child(2) svg polyline', (p) => p.getAttribute('points'))).split(' ');
  assert.equal(pts.length, 60);
  // 61 answers drawn for GPU 0: its VRAM chart keeps 60 samples as well
  const vram = await page.$$eval('#gpuGrid > .gpu:nth-child(2) svg polyline', (ps) => ps[1].getAttribute('points').split(' ').length);
  assert.equal(vram, 60);
  // the first sample (50) is gone: 150 (clamped), then -5 (clamped), ..., 59 at the right edge
  assert.deepEqual([pts[0], pts[1], pts[59]], ['0.00,2.00', '1.69,39.00', '100.00,17.17']);
});

test('a failed refresh says so and leaves the drawing; the next answer replaces the stamp', async () => {
  expectConsoleErrors(failedLoad(/status of 502 \(Bad Gateway\) \[.*action=metrics\]$/, /net::ERR_CONNECTION_FAILED \[.*action=metrics\]$/));
  const { page, f } = await open();
  const good = (utc) => doc(utc, [gpu(0), gpu(1)]);
  await draw(page, f, good('g0'));
  for (const [what, body, cardsLeft] of [
    ['a body that is not JSON', '<html>Bad Gateway</html>', 2],
    ['a network error', 'abort', 2],
    // the grid was already emptied when the drawing broke off
    ['an answer that breaks the drawing', '{"ok":true,"source":"nvidia","gpus":"not a list"}', 0],
  ]) {
    await page.click('#btnRefresh');
    await f.answer(body, 502);
    await until(async () => (await text(page, '#stamp')) === 'refresh failed', what);
    assert.equal((await cards(page)).length, cardsLeft, what);
    await redraw(page, f, good(`after ${what}`));
    assert.equal((await cards(page)).length, 2);
  }
});
