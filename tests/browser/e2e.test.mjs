// The real thing end to end: a real host (lighttpd, and nginx with fcgiwrap,
// the one that reaches the program through FastCGI) runs the binary per
// request from its shipped configuration, the binary reads a CSV fixture and
// gates on a password, and the page served by it polls the binary back on
// either route and draws what it got.
import { describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { serveForFile, startServer, newPage, closePage, until, text, expectConsoleErrors, failedLoad, FIXTURES } from './harness.mjs';

const PASSWORD = 'open sesame+1';
const Q = encodeURIComponent(PASSWORD);

for (const host of ['lighttpd', 'nginx']) {
  describe(host, () => {
    const ctx = serveForFile({ SERVER: host, VISTREL_MOCK_CSV: FIXTURES + 'three-gpus.csv', BOT_PASSWORD: PASSWORD });

    test('the served page draws the fixture through the plugin, directly and through the hub route', async () => {
      for (const path of [`/plugin_vistrel?pwd=${Q}`, `/plugins?plugin=vistrel&node=n1&pwd=${Q}`]) {
        const page = await newPage(ctx.browser, { clock: false });
        const answers = [];
        page.on('response', (r) => r.url().includes('action=metrics') && answers.push(r.status()));
        await page.goto(ctx.server.base + path);
        await until(async () => (await text(page, '#kGpus')) === '3', `${path} drawn`);
        const shown = await page.evaluate(() => ({
          top: ['srcBadge', 'drvBadge', 'kUtil', 'kMem', 'kPower', 'kProcs'].map((id) => document.getElementById(id).textContent),
          live: document.getElementById('srcBadge').className,
          stamp: document.getElementById('stamp').textContent,
          cards: [...document.querySelectorAll('.gpu')].map((c) => [c.querySelector('.idx').textContent, c.querySelector('.nm').textContent,
            ...[...c.querySelectorAll('.chip')].map((s) => s.textContent)]),
          rows: [...document.querySelectorAll('#procRows tr')].map((tr) => [...tr.cells].map((td) => td.textContent)),
          markup: document.querySelectorAll('.gpu .nm *, #procRows img').length,
        }));
        assert.deepEqual(shown.top, ['mock', 'driver 550.54.15', '44%', '80.5/167.3 GB', '957 W', '3'], path);
        assert.equal(shown.live, 'pill live');
        assert.match(shown.stamp, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/);
        assert.deepEqual(shown.cards, [
          ['GPU 0', 'NVIDIA H100 80GB HBM3', '97% compute', '60.0 GB / 79.6 GB VRAM', '86\u00b0C', '655 W / 700'],
          ['GPU 1', 'NVIDIA H100 80GB HBM3', '35% compute', '20.0 GB / 79.6 GB VRAM', '71\u00b0C', '302 W'],
          ['GPU 4', '<b>Bold</b> Card', '0% compute', '512 MB / 8.0 GB VRAM'],
        ], path);
        assert.deepEqual(shown.rows, [
          ['0', '48213', 'python3 train.py', '59.0 GB'],
          ['4', '7', '<img src=x onerror=alert(1)>', '300 MB'],
          ['-', '99', 'orphan', '12 MB'],
        ], path);
        assert.equal(shown.markup, 0);
        assert.deepEqual(answers, [200], path);
        await closePage(page);
      }
    });

    test('without the password the node refuses the page itself', async () => {
      expectConsoleErrors(failedLoad(/status of 401 \(Unauthorized\) \[.*\/plugin_vistrel\]$/));
      const page = await newPage(ctx.browser, { clock: false });
      const res = await page.goto(ctx.server.base + '/plugin_vistrel');
      assert.equal(res.status(), 401);
      assert.deepEqual(await res.json(), { ok: false, error: 'invalid node password' });
      await closePage(page);
    });

    test('embedded through the real plugin: no direct-open note, embedded class', async () => {
      const page = await newPage(ctx.browser, { clock: false });
      await page.goto(ctx.server.base + `/plugin_vistrel?embed=1&pwd=${Q}`);
      await until(async () => (await text(page, '#kGpus')) === '3', 'drawn');
      assert.equal((await page.$$('.wrap > .sub')).length, 0);
      assert.equal(await page.evaluate(() => document.documentElement.className), 'embedded');
      await closePage(page);
    });
  });
}

// fetch sends no request at all with a header value beyond Latin-1, so a
// password that is not printable ASCII must travel in the query alone; the
// node's gate accepts it there.
describe('passwords in any language', () => {
  const ctx = serveForFile({ VISTREL_MOCK_CSV: FIXTURES + 'three-gpus.csv', BOT_PASSWORD: 'unused' });

  test('each draws the GPUs on the direct route; only the ASCII one also goes in the header', async () => {
    for (const [pw, header] of [['\u20ac', undefined], ['\u5bc6\u7801', undefined], ['p\u00e4ssw\u00f6rd', undefined], ['plain pw', 'plain pw']]) {
      const server = await startServer({ VISTREL_MOCK_CSV: FIXTURES + 'three-gpus.csv', BOT_PASSWORD: pw });
      try {
        const page = await newPage(ctx.browser, { clock: false });
        const sent = [];
        page.on('request', (r) => r.url().includes('action=metrics') && sent.push(r.headers()['x-bot-password']));
        await page.goto(server.base + '/plugin_vistrel?pwd=' + encodeURIComponent(pw));
        await until(async () => (await text(page, '#kGpus')) === '3', `drawn with ${pw}`);
        assert.notEqual(await text(page, '#stamp'), 'refresh failed', pw);
        assert.deepEqual(sent, [header], pw);
        await closePage(page);
      } finally {
        await server.stop();
      }
    }
  });
});
