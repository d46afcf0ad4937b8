// Shared by the browser tests: a web server serving the real binary through
// tools/serve.sh (lighttpd unless a test names another host), Debian's
// Chromium or Firefox ESR driven by puppeteer-core (CDP for Chromium, WebDriver
// BiDi for Firefox; no browser is ever downloaded), a fake clock inside the
// page, and a feed that intercepts the page's metrics requests so a test
// decides each answer. BROWSER (chromium or firefox) picks the engine.
import { before, after, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import puppeteer from 'puppeteer-core';
import { ROOT, startServer, sleep, until } from '../support/serve.mjs';

export { ROOT, startServer, sleep, until };
export { FIXTURES } from '../support/serve.mjs';

export const ENGINE = process.env.BROWSER || 'chromium';
if (!['chromium', 'firefox'].includes(ENGINE)) throw new Error(`BROWSER=${ENGINE}: chromium or firefox`);

// The background-networking flags keep Chromium from calling out: this
// machine's network is closed and each refused connection costs time.
const CHROMIUM_ARGS = [
  '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--disable-dev-shm-usage',
];

// Firefox over BiDi can neither emulate the colour preference nor switch
// scripts off per page: both are launch preferences there, so each
// combination a test asks for gets a Firefox of its own, started when first
// needed. Chromium sets both per page.
function firefoxPrefs(colorScheme, javaScript) {
  return {
    'layout.css.prefers-color-scheme.content-override': colorScheme === 'light' ? 1 : 0,
    'javascript.enabled': javaScript,
  };
}

function launchEngine(colorScheme, javaScript, userDataDir) {
  if (ENGINE === 'firefox') {
    return puppeteer.launch({
      browser: 'firefox', executablePath: '/usr/bin/firefox-esr', headless: true, userDataDir,
      extraPrefsFirefox: firefoxPrefs(colorScheme, javaScript),
    });
  }
  return puppeteer.launch({ executablePath: '/usr/bin/chromium', headless: true, args: CHROMIUM_ARGS, userDataDir });
}

// Every console error and uncaught script error of every page a test opened,
// in the order they came.
const consoleErrors = [];
let expectedErrors = [];

function watchConsole(page) {
  page.on('console', (m) => m.type() === 'error' && consoleErrors.push(`${m.text()} [${m.location()?.url ?? ''}]`));
  page.on('pageerror', (e) => consoleErrors.push(`uncaught: ${e.message}`));
}

// A test that provokes console errors on purpose names each one it expects
// (a RegExp), per engine where they differ: { chromium: [...], firefox: [...] }.
// Each must then appear, and nothing else may.
export function expectConsoleErrors(...patterns) {
  const p = patterns.length === 1 && !(patterns[0] instanceof RegExp) ? patterns[0][ENGINE] || [] : patterns;
  expectedErrors.push(...p);
}

// Chromium logs every load that fails or answers with an error status on the
// console, a fetch's too; Firefox logs neither, as the page handles them.
export const failedLoad = (...patterns) => ({ chromium: patterns, firefox: [] });

function checkConsole() {
  const seen = consoleErrors.splice(0);
  const wanted = expectedErrors;
  expectedErrors = [];
  assert.deepEqual(seen.filter((e) => !wanted.some((p) => p.test(e))), [], 'console errors nobody expected');
  assert.deepEqual(wanted.filter((p) => !seen.some((e) => p.test(e))), [], 'expected console errors that did not come');
}

// The browsers of one test file: pages ask for a colour preference and
// whether scripts run; each page gets a fresh context (storage, cookies).
export function launch() {
  const running = new Map();
  const get = (colorScheme, javaScript) => {
    const key = ENGINE === 'firefox' ? `${colorScheme}/${javaScript}` : 'one';
    if (!running.has(key)) running.set(key, launchEngine(colorScheme, javaScript));
    return running.get(key);
  };
  return {
    engine: ENGINE,
    context: async (colorScheme, javaScript) => (await get(colorScheme, javaScript)).createBrowserContext(),
    async close() {
      for (const b of running.values()) await (await b).close();
      running.clear();
    },
  };
}

// One server and the browsers for a whole test file (or describe block):
// started before its first test, stopped after its last. The returned object
// fills in then. env picks SERVER and adds BOT_PASSWORD or VISTREL_MOCK_CSV;
// the demo tool stays off, so without a fixture the plugin finds no GPU.
// After each test, the console of every page it opened must be clean.
export function serveForFile(env = {}) {
  const ctx = {};
  before(async () => {
    ctx.server = await startServer(env);
    ctx.browser = launch();
  });
  afterEach(checkConsole);
  after(async () => {
    await ctx.browser?.close();
    await ctx.server?.stop();
  });
  return ctx;
}

// In the page, before any of its scripts: the fake clock, fetch calls
// counted synchronously with the cache mode each asked for, and storage
// seeded once (a reload keeps what the page itself stored).
function prepare(items, clock) {
  // The page's timers (the 2 s poll and the request deadline) run on a fake
  // clock that moves only on runFor(page, ms); fetches stay real. A timer that
  // an answer arms fires on a later runFor, never within the one that sent it.
  function fakeClock() {
    const realSetTimeout = window.setTimeout.bind(window);
    const timers = new Map();
    let now = 0;
    let seq = 0;
    window.setTimeout = (fn, ms, ...args) => {
      timers.set(++seq, { at: now + Math.max(0, Number(ms) || 0), id: seq, fn, args });
      return seq;
    };
    window.clearTimeout = (id) => timers.delete(id);
    window.__clock = {
      realSetTimeout,
      runFor(ms) {
        const end = now + ms;
        for (;;) {
          let next = null;
          for (const t of timers.values()) if (t.at <= end && (!next || t.at < next.at || (t.at === next.at && t.id < next.id))) next = t;
          if (!next) break;
          timers.delete(next.id);
          now = next.at;
          next.fn(...next.args);
        }
        now = end;
      },
    };
  }
  if (clock) fakeClock();
  window.__fetches = 0;
  window.__cacheModes = [];
  const f = window.fetch;
  window.fetch = function (url, opt) {
    window.__fetches++;
    window.__cacheModes.push(opt && opt.cache);
    return f.apply(this, arguments);
  };
  try {
    if (!sessionStorage.getItem('__seeded')) {
      for (const [k, v] of Object.entries(items)) localStorage.setItem(k, v);
      sessionStorage.setItem('__seeded', '1');
    }
  } catch { /* a frame without storage (about:blank) */ }
}

// A page in a context of its own, its console watched; close it with
// closePage. Requests go through routes (route(), feed()); the rest pass.
export async function newPage(browser, { colorScheme = 'dark', storage = {}, clock = true, javaScript = true } = {}) {
  const context = await browser.context(colorScheme, javaScript);
  const page = await context.newPage();
  watchConsole(page);
  if (ENGINE === 'chromium') {
    await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: colorScheme }]);
    if (!javaScript) await page.setJavaScriptEnabled(false);
  }
  await page.setViewport({ width: 1280, height: 720 });
  await page.evaluateOnNewDocument(prepare, storage, clock);
  page.__routes = [];
  await page.setRequestInterception(true);
  page.on('request', (req) => {
    const r = page.__routes.find(([match]) => match(new URL(req.url())));
    if (r) r[1](req);
    else req.continue();
  });
  return page;
}

export async function closePage(page) {
  const context = page.browserContext();
  if (context === context.browser().defaultBrowserContext()) await page.close();
  else await context.close();
}

// Requests whose URL matches are handed to handler(request) to answer.
export function route(page, match, handler) {
  page.__routes.push([match, handler]);
}

export const runFor = (page, ms) =>
  page.evaluate(async (t) => {
    window.__clock.runFor(t);
    // lets the fetch that a fired tick starts (a promise step away) go out
    await new Promise((r) => window.__clock.realSetTimeout(r, 0));
  }, ms);

export const json = (body, status = 200) => ({
  status,
  contentType: 'application/json; charset=utf-8',
  body: typeof body === 'string' ? body : JSON.stringify(body),
});

const isMetrics = (u) => u.pathname === '/plugins' || u.searchParams.get('action') === 'metrics';

// Holds every metrics request of the page until the test answers it; one
// never answered is a stalled endpoint.
export function feed(page) {
  const pending = [];
  const seen = [];
  route(page, isMetrics, (req) => {
    const entry = { url: req.url(), headers: req.headers(), req };
    seen.push(entry);
    pending.push(entry);
  });
  return {
    seen,
    // The oldest request not yet answered; waits for it to arrive.
    next: () => until(() => pending.length && pending.shift(), 'a metrics request'),
    async answer(body, status = 200) {
      const { req } = await this.next();
      if (body === 'abort') return req.abort('connectionfailed');
      await req.respond(json(body, status));
    },
  };
}

export const text = (page, sel) => page.$eval(sel, (e) => e.textContent);
export const attr = (page, sel, name) => page.$eval(sel, (e, n) => e.getAttribute(n), name);
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

// A browser of its own whose pages share the storage of one profile folder,
// for a test that changes the colour preference under what a page stored:
// Firefox reads the preference only at launch, so there a page asking for
// another one relaunches the browser on the same profile.
export function profileBrowser() {
  const dir = mkdtempSync(tmpdir() + '/vistrel-profile-');
  let current = null;
  let scheme = null;
  const b = {
    engine: ENGINE,
    async context(colorScheme) {
      if (ENGINE === 'firefox' && current && scheme !== colorScheme) await b.close(false);
      if (!current) current = launchEngine(colorScheme, true, dir);
      scheme = colorScheme;
      return (await current).defaultBrowserContext();
    },
    async close(removeProfile = true) {
      if (current) await (await current).close();
      current = null;
      if (removeProfile) rmSync(dir, { recursive: true, force: true });
    },
  };
  return b;
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
