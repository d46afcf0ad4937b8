// Shared by the browser tests: a lighttpd serving the real binary through
// tools/serve.sh, Debian's Chromium driven by playwright-core, and a feed
// that intercepts the page's metrics requests so a test decides each answer.
import { spawn } from 'node:child_process';
import { before, after } from 'node:test';
import net from 'node:net';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

export const ROOT = fileURLToPath(new URL('../../', import.meta.url));
export const FIXTURES = ROOT + 'tests/browser/fixtures/';

// The background-networking flags keep Chromium from calling out: this
// machine's network is closed and each refused connection costs time.
const CHROMIUM_ARGS = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--disable-dev-shm-usage',
];

export function launch() {
  return chromium.launch({ executablePath: '/usr/bin/chromium', args: CHROMIUM_ARGS });
}

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.unref();
    s.on('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const { port } = s.address();
      s.close(() => resolve(port));
    });
  });
}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Polls fn (in Node, on real time) until it returns a truthy value.
export async function until(fn, what = 'condition', ms = 10000) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(20);
  }
}

// Starts tools/serve.sh on a free port; env adds BOT_PASSWORD or VISTREL_MOCK_CSV.
// The demo tool stays off, so without a fixture the plugin finds no GPU.
// One lighttpd and one Chromium for a whole test file: started before its
// first test, stopped after its last. The returned object fills in then.
export function serveForFile(env = {}) {
  const ctx = {};
  before(async () => {
    ctx.server = await startServer(env);
    ctx.browser = await launch();
  });
  after(async () => {
    await ctx.browser?.close();
    await ctx.server?.stop();
  });
  return ctx;
}

export async function startServer(env = {}) {
  const port = await freePort();
  const childEnv = { ...process.env, PORT: String(port), DEMO: '0' };
  delete childEnv.BOT_PASSWORD;
  delete childEnv.VISTREL_MOCK_CSV;
  Object.assign(childEnv, env);
  const child = spawn('sh', [ROOT + 'tools/serve.sh'], { env: childEnv, detached: true, stdio: ['ignore', 'ignore', 'pipe'] });
  let stderr = '';
  child.stderr.on('data', (b) => (stderr += b));
  const exited = new Promise((r) => child.on('exit', r));
  const base = `http://127.0.0.1:${port}`;
  await until(async () => {
    if (child.exitCode !== null) throw new Error(`serve.sh exited ${child.exitCode}: ${stderr}`);
    return fetch(base + '/plugin_vistrel?action=info').then(() => true, () => false);
  }, 'lighttpd to answer');
  return {
    base,
    async stop() {
      // The whole group: the shell and its lighttpd. SIGTERM is immediate.
      try { process.kill(-child.pid, 'SIGTERM'); } catch { /* already gone */ }
      await exited;
    },
  };
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
