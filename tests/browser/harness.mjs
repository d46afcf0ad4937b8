// Shared by the browser tests: a web server serving the real binary through
// tools/serve.sh (lighttpd unless a test names another host), Debian's
// Chromium driven by playwright-core, and a feed that intercepts the page's
// metrics requests so a test decides each answer.
import { before, after, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import { chromium } from 'playwright-core';
import { ROOT, startServer, sleep, until } from '../support/serve.mjs';

export { ROOT, startServer, sleep, until };
export { FIXTURES } from '../support/serve.mjs';

// The background-networking flags keep Chromium from calling out: this
// machine's network is closed and each refused connection costs time.
const CHROMIUM_ARGS = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--disable-dev-shm-usage',
];

// Every console error and uncaught script error of every page in every
// context of a launched browser, in the order they came.
const consoleErrors = [];
let expectedErrors = [];

export async function launch() {
  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: CHROMIUM_ARGS });
  const newContext = browser.newContext.bind(browser);
  browser.newContext = async (options) => {
    const context = await newContext(options);
    context.on('console', (m) => m.type() === 'error' && consoleErrors.push(`${m.text()} [${m.location().url}]`));
    context.on('weberror', (e) => consoleErrors.push(`uncaught: ${e.error().message}`));
    return context;
  };
  return browser;
}

// A test that provokes console errors on purpose names each one it expects
// (a RegExp); each must then appear, and nothing else may.
export function expectConsoleErrors(...patterns) {
  expectedErrors.push(...patterns);
}

function checkConsole() {
  const seen = consoleErrors.splice(0);
  const wanted = expectedErrors;
  expectedErrors = [];
  assert.deepEqual(seen.filter((e) => !wanted.some((p) => p.test(e))), [], 'console errors nobody expected');
  assert.deepEqual(wanted.filter((p) => !seen.some((e) => p.test(e))), [], 'expected console errors that did not come');
}

// One server and one Chromium for a whole test file (or describe block):
// started before its first test, stopped after its last. The returned object
// fills in then. env picks SERVER and adds BOT_PASSWORD or VISTREL_MOCK_CSV;
// the demo tool stays off, so without a fixture the plugin finds no GPU.
// After each test, the console of every page it opened must be clean.
export function serveForFile(env = {}) {
  const ctx = {};
  before(async () => {
    ctx.server = await startServer(env);
    ctx.browser = await launch();
  });
  afterEach(checkConsole);
  after(async () => {
    await ctx.browser?.close();
    await ctx.server?.stop();
  });
  return ctx;
}

// A fake clock that only moves when a test says so: timers (the 2 s poll)
// fire only on page.clock.runFor(), while fetches stay real.
// Also counts the page's fetch calls synchronously, in the page.
export async function newPage(browser, { colorScheme = 'dark', storage = {}, clock = true } = {}) {
  const context = await browser.newContext({ colorScheme });
  const page = await context.newPage();
  if (clock) {
    await page.clock.install({ time: 1_700_000_000_000 });
    await page.clock.pauseAt(1_700_000_001_000);
  }
  await page.addInitScript((items) => {
    window.__fetches = 0;
    window.__cacheModes = [];
    const f = window.fetch;
    window.fetch = function (url, opt) {
      window.__fetches++;
      window.__cacheModes.push(opt && opt.cache);
      return f.apply(this, arguments);
    };
    // Only before the first load: a reload keeps what the page itself stored.
    try {
      if (!sessionStorage.getItem('__seeded')) {
        for (const [k, v] of Object.entries(items)) localStorage.setItem(k, v);
        sessionStorage.setItem('__seeded', '1');
      }
    } catch { /* a frame without storage (about:blank) */ }
  }, storage);
  return page;
}

const isMetrics = (u) => u.pathname === '/plugins' || u.searchParams.get('action') === 'metrics';

// Holds every metrics request of the page until the test answers it.
export async function feed(page) {
  const pending = [];
  const seen = [];
  await page.route(isMetrics, async (route) => {
    const req = route.request();
    const entry = { url: req.url(), headers: await req.allHeaders(), route };
    seen.push(entry);
    pending.push(entry);
  });
  return {
    seen,
    // The oldest request not yet answered; waits for it to arrive.
    next: () => until(() => pending.length && pending.shift(), 'a metrics request'),
    async answer(body, status = 200) {
      const req = await this.next();
      if (body === 'abort') return req.route.abort('connectionfailed');
      await req.route.fulfill({
        status,
        contentType: 'application/json; charset=utf-8',
        body: typeof body === 'string' ? body : JSON.stringify(body),
      });
    },
  };
}

export const text = (page, sel) => page.locator(sel).textContent();
export const fetches = (page) => page.evaluate(() => window.__fetches);

// Answers the next request with doc and waits until it has been drawn
// (every doc a test draws carries its own utc).
export async function draw(page, f, doc) {
  await f.answer(doc);
  await until(async () => (await text(page, '#stamp')) === doc.utc, `stamp ${doc.utc}`);
}

// A clicked Refresh: one more request, answered with doc and drawn.
export async function redraw(page, f, doc) {
  await page.click('#btnRefresh');
  await draw(page, f, doc);
}

export async function setHidden(page, hidden) {
  await page.evaluate((h) => {
    Object.defineProperty(document, 'hidden', { configurable: true, get: () => h });
    Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => (h ? 'hidden' : 'visible') });
    document.dispatchEvent(new Event('visibilitychange'));
  }, hidden);
}

// A metrics document as the plugin writes it; gpus and processes as given.
export function doc(utc, gpus = [], processes = [], top = {}) {
  const sum = (k) => gpus.reduce((a, g) => a + (g[k] || 0), 0);
  const powered = gpus.filter((g) => g.power_w != null);
  return {
    ok: true, action: 'metrics', available: gpus.length > 0, source: 'nvidia', mocked: false,
    driver: '550.54.15', utc, count: gpus.length, process_count: processes.length,
    util_gpu_avg: gpus.length ? sum('util_gpu') / gpus.length : 0,
    mem_used_mb: sum('mem_used_mb'), mem_total_mb: sum('mem_total_mb'),
    power_w: powered.length ? sum('power_w') : null,
    gpus, processes, message: '', ...top,
  };
}

export function gpu(index, over = {}) {
  return {
    index, uuid: `GPU-${index}`, name: `Test GPU ${index}`, util_gpu: 40, mem_used_mb: 2048,
    mem_total_mb: 8192, temp_c: 61, power_w: 120.4, power_limit_w: 250, ...over,
  };
}
