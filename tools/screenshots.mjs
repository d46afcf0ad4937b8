// Screenshots of the real page for the docs: the binary behind lighttpd with
// the demo nvidia-smi (four GPUs, a few processes), polled 40 times so the
// charts have a history, in the dark and the light theme, and once more in
// the dark theme with one of the demo's GPUs fallen off the bus, in Chromium
// (BROWSER picks another engine).
//   node tools/screenshots.mjs        (make screenshots)
//     -> docs/dashboard-{dark,light}.png, docs/dashboard-lost-gpu.png
import { mkdirSync } from 'node:fs';
import { launch, startServer, newPage, closePage, runFor, until, ROOT } from '../tests/browser/harness.mjs';

const SAMPLES = 40;
const SHOTS = [
  { demo: '1', theme: 'dark', file: 'docs/dashboard-dark.png' },
  { demo: '1', theme: 'light', file: 'docs/dashboard-light.png' },
  { demo: 'lost-gpu', theme: 'dark', file: 'docs/dashboard-lost-gpu.png' },
];

const browser = launch();
try {
  mkdirSync(ROOT + 'docs', { recursive: true });
  for (const demo of [...new Set(SHOTS.map((s) => s.demo))]) {
    const server = await startServer({ DEMO: demo });
    try {
      for (const { theme, file } of SHOTS.filter((s) => s.demo === demo)) {
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
        await page.screenshot({ path: ROOT + file, fullPage: true });
        console.log(`wrote ${file}`);
        await closePage(page);
      }
    } finally {
      await server.stop();
    }
  }
} finally {
  await browser.close();
}
