// The page's theme and embedding: the choice at load, the host's theme
// messages, the embedded class and the direct-open note. The page is the real
// one from the binary; its metrics requests go to the plugin, which finds no GPU.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { serveForFile, newPage, closePage, profileBrowser, route, until } from './harness.mjs';

const ctx = serveForFile();

const BG = { dark: 'rgb(0, 0, 0)', light: 'rgb(245, 245, 247)' };

function state(page) {
  return page.evaluate(() => ({
    theme: document.documentElement.getAttribute('data-theme'),
    stored: localStorage.getItem('bot_theme'),
    bg: getComputedStyle(document.body).backgroundColor,
    embedded: document.documentElement.classList.contains('embedded'),
    note: [...document.querySelectorAll('.wrap > .sub')].map((e) => e.textContent),
  }));
}

test('theme at load: URL parameter, then stored theme, then browser preference; remembered', async () => {
  const cases = [
    // page query, stored bot_theme, browser preference, expected theme
    ['?theme=light', 'dark', 'dark', 'light'],
    ['?a=1&theme=dark', 'light', 'light', 'dark'],
    ['?theme=darker', null, 'light', 'dark'], // the pattern is not anchored at its end
    ['?theme=Light', null, 'dark', 'dark'], // case-sensitive: falls through to the preference
    ['?theme=Light', 'light', 'dark', 'light'],
    ['', 'light', 'dark', 'light'],
    ['', 'blue', 'light', 'light'],
    ['', null, 'light', 'light'],
    ['', null, 'dark', 'dark'],
  ];
  for (const [query, stored, colorScheme, want] of cases) {
    const what = `${query} stored=${stored} prefers=${colorScheme}`;
    const page = await newPage(ctx.browser, { colorScheme, storage: stored ? { bot_theme: stored } : {} });
    await page.goto(ctx.server.base + '/plugin_vistrel' + query);
    const s = await state(page);
    assert.deepEqual([s.theme, s.stored, s.bg], [want, want, BG[want]], what);
    await closePage(page);
  }
  // asking the browser throws: dark
  const page = await newPage(ctx.browser, { colorScheme: 'light' });
  await page.evaluateOnNewDocument(() => { window.matchMedia = () => { throw new Error('no media queries'); }; });
  await page.goto(ctx.server.base + '/plugin_vistrel');
  assert.deepEqual(Object.values(await state(page)).slice(0, 2), ['dark', 'dark']);
  await closePage(page);
});

test('a remembered theme outlives the browser preference', async () => {
  // The page's own storage, kept while the preference changes beneath it.
  const browser = profileBrowser();
  try {
    let page = await newPage(browser, { colorScheme: 'light' });
    await page.goto(ctx.server.base + '/plugin_vistrel');
    assert.equal((await state(page)).theme, 'light');
    await closePage(page);
    page = await newPage(browser, { colorScheme: 'dark' });
    await page.goto(ctx.server.base + '/plugin_vistrel');
    assert.equal((await state(page)).theme, 'light');
    await page.goto(ctx.server.base + '/plugin_vistrel?theme=dark');
    await page.goto(ctx.server.base + '/plugin_vistrel');
    assert.equal((await state(page)).theme, 'dark');
    await closePage(page);
  } finally {
    await browser.close();
  }
});

test('embedded class and direct-open note follow the query', async () => {
  const NOTE = ['Opened directly from the node API.'];
  const cases = [
    ['', false, NOTE],
    ['?embed=1', true, []],
    ['?embed=true', true, []],
    ['?a=1&embed=true&b=2', true, []],
    ['?embed=10', false, []], // the server's test finds embed=1 in it, the page's does not
    ['?embed=yes', false, NOTE],
    ['?embed=TRUE', false, NOTE],
  ];
  for (const [query, embedded, note] of cases) {
    const page = await newPage(ctx.browser);
    await page.goto(ctx.server.base + '/plugin_vistrel' + query);
    const s = await state(page);
    assert.deepEqual([s.embedded, s.note], [embedded, note], query);
    if (note.length) {
      // between the About card and the script
      const prev = await page.$eval('.wrap > div.sub', (e) => e.previousElementSibling.querySelector('h2').textContent);
      assert.equal(prev, 'About this plugin');
    }
    await closePage(page);
  }
});

test('kv-theme messages and kvApplyTheme switch the theme once, store it and announce it', async () => {
  const page = await newPage(ctx.browser, { colorScheme: 'dark' });
  await page.evaluateOnNewDocument(() => {
    window.__events = [];
    addEventListener('bot-theme', (e) => window.__events.push(e.detail));
  });
  await page.goto(ctx.server.base + '/plugin_vistrel');
  // Messages arrive in order: only the last of these may change anything.
  await page.evaluate(() => {
    for (const m of [{ type: 'kv-theme', theme: 'dark' }, { type: 'kv-theme', theme: 'blue' }, null, 'kv-theme',
      { type: 'kv-theme-request' }, { type: 'other', theme: 'light' }, { type: 'kv-theme', theme: 'light' }]) postMessage(m, '*');
  });
  await until(async () => (await state(page)).theme === 'light', 'the light theme');
  const s = await state(page);
  assert.deepEqual([s.stored, s.bg], ['light', BG.light]);
  assert.deepEqual(await page.evaluate(() => window.__events), ['light']);

  const calls = await page.evaluate(() => {
    const out = [];
    kvApplyTheme('light'); // already shown: no event
    kvApplyTheme('dark');
    out.push(kvTheme());
    kvApplyTheme('DARK');
    document.documentElement.setAttribute('data-theme', 'sepia');
    out.push(kvTheme());
    return out;
  });
  assert.deepEqual(calls, ['dark', 'dark']);
  assert.deepEqual(await page.evaluate(() => window.__events), ['light', 'dark']);
  await closePage(page);
});

test('framed by a host: asks it for the theme once and takes the answer; top-level pages do not ask', async () => {
  const page = await newPage(ctx.browser, { colorScheme: 'dark' });
  // A stand-in host page on the same server origin, answering each request with light.
  route(page, (u) => u.pathname === '/host', (req) =>
    req.respond({
      contentType: 'text/html',
      body: `<script>window.asked = 0; addEventListener('message', (e) => {
        if (e.data && e.data.type === 'kv-theme-request') { window.asked++; e.source.postMessage({ type: 'kv-theme', theme: 'light' }, '*'); }
      });</script><iframe src="/plugin_vistrel?embed=1"></iframe>`,
    }),
  );
  await page.goto(ctx.server.base + '/host');
  const frame = await until(() => page.frames().find((fr) => fr.url().includes('/plugin_vistrel')), 'the framed page');
  await until(async () => (await frame.$eval('html', (e) => e.getAttribute('data-theme'))) === 'light', 'the host theme');
  const s = await state(frame);
  assert.deepEqual([s.embedded, s.note, s.bg], [true, [], BG.light]);
  assert.equal(await page.evaluate(() => window.asked), 1);

  const top = await newPage(ctx.browser);
  await top.evaluateOnNewDocument(() => {
    window.__asked = 0;
    addEventListener('message', (e) => e.data && e.data.type === 'kv-theme-request' && window.__asked++);
  });
  await top.goto(ctx.server.base + '/plugin_vistrel');
  // a message posted now is delivered after any the page posted while loading
  await top.evaluate(() => new Promise((r) => { addEventListener('message', r, { once: true }); postMessage('done', '*'); }));
  assert.equal(await top.evaluate(() => window.__asked), 0);
  await closePage(page);
  await closePage(top);
});

test('without scripts: the static page in the browser preference, headings upper-cased by the style sheet', async () => {
  const page = await newPage(ctx.browser, { javaScript: false, colorScheme: 'light', clock: false });
  await page.goto(ctx.server.base + '/plugin_vistrel');
  const shown = await page.evaluate(() => ({
    bg: getComputedStyle(document.body).backgroundColor,
    badges: ['srcBadge', 'drvBadge', 'stamp'].map((id) => document.getElementById(id).textContent),
    figures: [...document.querySelectorAll('.kpi')].map((k) => `${k.querySelector('.k').innerText}=${k.querySelector('.v').textContent}`),
    headings: [...document.querySelectorAll('.card h2')].map((h) => `${h.textContent}/${h.innerText}`),
    head: [...document.querySelectorAll('thead th')].map((th) => `${th.className}|${th.innerText}`),
    visible: ['gpuGrid', 'emptyState', 'legend', 'procEmpty'].map((id) => getComputedStyle(document.getElementById(id)).display !== 'none'),
    legend: document.getElementById('legend').innerText.replace(/\s+/g, ' '),
  }));
  assert.deepEqual(shown, {
    bg: BG.light,
    badges: ['local', 'driver', ''],
    figures: ['GPUS=\u2014', 'AVG COMPUTE=\u2014', 'VRAM USED=\u2014', 'POWER DRAW=\u2014', 'COMPUTE PROCS=\u2014'],
    headings: ['Overview/OVERVIEW', 'GPUs/GPUS', 'Compute processes/COMPUTE PROCESSES', 'About this plugin/ABOUT THIS PLUGIN'],
    head: ['num|GPU', 'num|PID', '|PROCESS', 'num|VRAM'],
    visible: [true, false, true, false],
    legend: 'compute % VRAM rolling 60 samples',
  });
  await closePage(page);
});
