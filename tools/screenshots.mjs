// Screenshots of the real page for the docs: the binary behind lighttpd with
// the demo nvidia-smi (four GPUs, a few processes), polled 40 times so the
// charts have a history, in the dark and the light theme, in Chromium (BROWSER
// picks another engine).
//   node tools/screenshots.mjs        (make screenshots)   -> docs/dashboard-{dark,light}.png
import { mkdirSync } from 'node:fs';
import { launch, startServer, newPage, closePage, runFor, until, ROOT } from '../tests/browser/harness.mjs';

const SAMPLES = 40;
const server = await startServer({ DEMO: '1' });
const browser = launch();
try {
  mkdirSync(ROOT + 'docs', { recursive: true });
  for (const theme of ['dark', 'light']) {
    // A fake clock: each 2 s poll is fired by hand instead of waited for.
    const page = await newPage(browser, { colorScheme: theme });
    await page.setViewport({ width: 1280, height: 800 });
    await page.goto(`${server.base}/plugin_vistrel?theme=${theme}`);
    const samples = () => page.evaluate(() => {
      const chart = document.querySelector('.gpu .spark');
      if (!chart) return 0;
      const line = chart.querySelector('polyline');
      return line ? line.getAttribute('points').split(' ').length : chart.querySelector('circle') ? 1 : 0;
    });
    for (let i = 1; i <= SAMPLES; i++) {
      await until(async () => (await samples()) === i, `sample ${i}`);
      if (i < SAMPLES) await runFor(page, 2000);
    }
    const file = `docs/dashboard-${theme}.png`;
    await page.screenshot({ path: ROOT + file, fullPage: true });
    console.log(`wrote ${file}`);
    await closePage(page);
  }
} finally {
  await browser.close();
  await server.stop();
}
