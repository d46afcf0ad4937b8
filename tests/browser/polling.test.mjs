// What the page asks for and when: the request on both routes with the node,
// id and password, and the polling chain (one request in flight, a 2 s timer
// after each answer, stopped while hidden). Time is a fake clock that moves
// only on runFor(); fetch calls are counted inside the page.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { execFileSync } from 'node:child_process';
import http from 'node:http';
import {
  ROOT, serveForFile, newPage, closePage, feed, draw, redraw, doc, gpu, json, text, attr, fetches, runFor, setHidden, until,
} from './harness.mjs';

const ctx = serveForFile();

async function open(query = '', opts = {}) {
  const page = await newPage(ctx.browser, opts);
  const f = await feed(page);
  await page.goto(ctx.server.base + '/plugin_vistrel' + query);
  return { page, f };
}

test('the first request: route, node, id and password from the URL or storage, header, no cache', async () => {
  const stored = { 'bot_pwd_gpu-1': 'node-pw', bot_active_pwd: 'active-pw', bot_pwd_: 'never' };
  const cases = [
    // page query, storage, expected request, expected X-Bot-Password
    ['', {}, '/plugin_vistrel?action=metrics', undefined],
    ['?node=gpu%201&id=a%2Fb&pwd=p%2Bq%26r', {}, '/plugin_vistrel?action=metrics&node=gpu%201&id=a%2Fb&pwd=p%2Bq%26r', 'p+q&r'],
    ['?node=a%26b%23c&pwd=x', {}, '/plugin_vistrel?action=metrics&node=a%26b%23c&pwd=x', 'x'],
    ['?plugin=vistrel&node=gpu-1&id=7', stored, '/plugins?plugin=vistrel&action=metrics&node=gpu-1&id=7&pwd=node-pw', 'node-pw'],
    ['?plugin=vistrel&node=gpu-1&pwd=url-pw', stored, '/plugins?plugin=vistrel&action=metrics&node=gpu-1&pwd=url-pw', 'url-pw'],
    ['?node=gpu-1&pwd=', stored, '/plugin_vistrel?action=metrics&node=gpu-1&pwd=node-pw', 'node-pw'],
    ['?node=gpu-2', stored, '/plugin_vistrel?action=metrics&node=gpu-2&pwd=active-pw', 'active-pw'],
    ['?plugin=my%20plug&id=x', stored, '/plugins?plugin=my%20plug&action=metrics&id=x&pwd=active-pw', 'active-pw'],
  ];
  for (const [query, storage, want, header] of cases) {
    const { page, f } = await open(query, { storage });
    const req = await f.next();
    const u = new URL(req.url);
    assert.equal(u.pathname + u.search, want, query);
    assert.equal(req.headers['x-bot-password'], header, query);
    assert.deepEqual(await page.evaluate(() => window.__cacheModes), ['no-store'], query);
    // the page reads the stored passwords and never writes them
    assert.deepEqual(await page.evaluate(() => ({ ...localStorage, bot_theme: null })), { ...storage, bot_theme: null }, query);
    await closePage(page);
  }
});

test('with storage refused the page still polls, without a stored password', async () => {
  const page = await newPage(ctx.browser, { colorScheme: 'light' });
  await page.evaluateOnNewDocument(() => {
    Object.defineProperty(window, 'localStorage', { get() { throw new DOMException('denied', 'SecurityError'); } });
  });
  const f = await feed(page);
  await page.goto(ctx.server.base + '/plugin_vistrel?node=gpu-1');
  const req = await f.next();
  assert.equal(new URL(req.url).search, '?action=metrics&node=gpu-1');
  assert.equal(await attr(page, 'html', 'data-theme'), 'light'); // the browser's preference
  await req.req.respond(json(doc('drawn', [gpu(0)])));
  await until(async () => (await text(page, '#stamp')) === 'drawn', 'the answer drawn');
  await closePage(page);
});

test('one request in flight: the button and the timer wait for it; the chain goes on after failures', async () => {
  const { page, f } = await open();
  await until(async () => f.seen.length === 1, 'the first request');
  await page.click('#btnRefresh');
  await runFor(page, 10000); // nothing is armed while the first answer is out
  assert.equal(await fetches(page), 1);

  await draw(page, f, doc('a1', [gpu(0)]));
  await runFor(page, 2000);
  assert.equal(await fetches(page), 2);
  await page.click('#btnRefresh');
  assert.equal(await fetches(page), 2);
  await f.answer('not json');
  await until(async () => (await text(page, '#stamp')) === 'refresh failed', 'the failure shown');

  await runFor(page, 2000);
  assert.equal(await fetches(page), 3);
  await draw(page, f, doc('a3', [gpu(0)]));
  // a click between polls is one extra request and leaves the chain as it was
  await redraw(page, f, doc('a4', [gpu(0)]));
  assert.equal(await fetches(page), 4);
  await runFor(page, 2000);
  assert.equal(await fetches(page), 5);
  await draw(page, f, doc('a5', [gpu(0)]));
  await closePage(page);
});

const constant = (file, name) => Number(readFileSync(ROOT + file, 'utf8').match(new RegExp(`${name} = (\\d+);`))[1]);
const DEADLINE = constant('web/app.js', 'DEADLINE_MS');

test('the deadline lies beyond the longest answer a healthy node gives', () => {
  // Two tools, NVIDIA then AMD, each waited out to the bound, plus for each
  // the grace for a process stuck in the driver and the quiet time after it.
  const tool = constant('src/collect.cpp', 'VENDOR_TOOL_TIMEOUT_MS');
  const grace = constant('src/platform_common.h', 'KILL_GRACE_MS');
  const quiet = constant('src/platform_common.h', 'QUIET_AFTER_EXIT_MS');
  assert.ok(DEADLINE > 2 * (tool + grace + quiet), `${DEADLINE} ms`);
});

test('a request that never answers fails at the deadline; the chain goes on and draws the next answer', async () => {
  const { page, f } = await open();
  await draw(page, f, doc('d1', [gpu(0)]));
  await runFor(page, 2000);
  const lost = await f.next(); // the stalled endpoint: never answered
  await runFor(page, DEADLINE - 1);
  await page.click('#btnRefresh'); // still in flight: no request
  assert.equal(await text(page, '#stamp'), 'd1');
  assert.equal(await fetches(page), 2);

  await runFor(page, 1);
  await until(async () => (await text(page, '#stamp')) === 'refresh failed', 'the failure at the deadline');
  assert.equal((await page.$$('#gpuGrid > .gpu')).length, 1, 'the last drawing stays');
  await runFor(page, 1999);
  assert.equal(await fetches(page), 2);
  await runFor(page, 1);
  assert.equal(await fetches(page), 3, 'the next request 2 s after the failure');
  // an answer just inside the deadline is drawn
  await runFor(page, DEADLINE - 1);
  await draw(page, f, doc('d3', [gpu(0), gpu(1)]));
  await runFor(page, 1);
  assert.equal(await text(page, '#stamp'), 'd3');
  // the button works again at once after a failure too
  await runFor(page, 2000);
  const lost2 = await f.next();
  await runFor(page, DEADLINE);
  await until(async () => (await text(page, '#stamp')) === 'refresh failed', 'the second failure');
  await redraw(page, f, doc('d5', [gpu(0)]));
  assert.equal(await fetches(page), 5);
  assert.deepEqual([lost.req.response(), lost2.req.response()], [null, null], 'the lost requests were never answered');
  await closePage(page);
});

// The page as the binary writes it, served by a stub whose first metrics
// answer sends its headers and part of the body and then stalls: the deadline
// holds for the body as well, not only for the headers.
test('an answer whose body stalls half-way fails at the deadline too', async () => {
  const out = execFileSync(ROOT + 'build/plugin_vistrel', { env: { QUERY_STRING: '' } }).toString('latin1');
  const html = out.slice(out.indexOf('\r\n\r\n') + 4);
  let metrics = 0;
  const stub = http.createServer((req, res) => {
    if (!req.url.includes('action=metrics')) return res.end(html);
    res.writeHead(200, { 'Content-Type': 'application/json; charset=utf-8' });
    if (++metrics === 1) return res.write('{"source":"nvidia","gpus":['); // and nothing more
    res.end(JSON.stringify(doc('after the stall', [gpu(0)])));
  });
  await new Promise((r) => stub.listen(0, '127.0.0.1', r));
  try {
    const page = await newPage(ctx.browser);
    await page.goto(`http://127.0.0.1:${stub.address().port}/plugin_vistrel`);
    await until(() => metrics === 1, 'the stalled answer');
    await runFor(page, DEADLINE - 1);
    assert.equal(await text(page, '#stamp'), '');
    await runFor(page, 1);
    await until(async () => (await text(page, '#stamp')) === 'refresh failed', 'the failure at the deadline');
    await runFor(page, 2000);
    await until(async () => (await text(page, '#stamp')) === 'after the stall', 'the next answer drawn');
    assert.equal(metrics, 2);
    await closePage(page);
  } finally {
    stub.closeAllConnections();
    stub.close();
  }
});

test('hidden pages stop polling; shown again they poll at once, with a single chain', async () => {
  const { page, f } = await open();
  await draw(page, f, doc('v1', [gpu(0)]));
  await setHidden(page, true);
  await runFor(page, 10000);
  assert.equal(await fetches(page), 1);
  await setHidden(page, false);
  assert.equal(await fetches(page), 2);
  await draw(page, f, doc('v2', [gpu(0)]));

  // hidden while a request is out: its answer does not restart the chain
  await runFor(page, 2000);
  assert.equal(await fetches(page), 3);
  await setHidden(page, true);
  await draw(page, f, doc('v3', [gpu(0)]));
  await runFor(page, 10000);
  assert.equal(await fetches(page), 3);

  // shown again while a request is out: the late answer does not start a
  // second chain beside the one the showing started
  await setHidden(page, false);
  assert.equal(await fetches(page), 4);
  await runFor(page, 2000);
  await setHidden(page, true);
  await setHidden(page, false); // a tick that finds the request still out
  assert.equal(await fetches(page), 4);
  await runFor(page, 1000);
  await draw(page, f, doc('v4', [gpu(0)]));
  await runFor(page, 1000); // the showing's timer is due
  assert.equal(await fetches(page), 5);
  await draw(page, f, doc('v5', [gpu(0)]));
  // a timer armed by the late answer would be due now
  await runFor(page, 1000);
  assert.equal(await fetches(page), 5, 'no second chain fired');
  await runFor(page, 1000);
  assert.equal(await fetches(page), 6);
  await closePage(page);
});

test('a page loaded in the background polls until it has been shown and hidden again', async () => {
  const page = await newPage(ctx.browser);
  await page.evaluateOnNewDocument(() => {
    Object.defineProperty(document, 'hidden', { configurable: true, get: () => true });
    Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => 'hidden' });
  });
  const f = await feed(page);
  await page.goto(ctx.server.base + '/plugin_vistrel');
  await draw(page, f, doc('b1', [gpu(0)]));
  await runFor(page, 2000);
  await draw(page, f, doc('b2', [gpu(0)]));
  assert.equal(await fetches(page), 2);
  await setHidden(page, false);
  await setHidden(page, true);
  await runFor(page, 10000);
  assert.equal(await fetches(page), 2);
  await closePage(page);
});
