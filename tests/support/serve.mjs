// Starts a real web server through tools/serve.sh, the script make serve
// runs, so the tests serve the plugin from the configurations shipped in
// docs/servers/ the way an operator would. Shared by the host tests, the
// browser tests and the screenshots.
import { spawn } from 'node:child_process';
import net from 'node:net';
import { fileURLToPath } from 'node:url';

export const ROOT = fileURLToPath(new URL('../../', import.meta.url));
// The fake vendor tools and their fixtures live under this one folder.
export const DATA = ROOT + 'tests/data/';
export const FAKES = DATA + 'fakes/';
export const FIXTURES = DATA + 'fixtures/';

export const HOSTS = ['lighttpd', 'apache', 'nginx'];

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

export function freePort() {
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

// Whether anything accepts connections on 127.0.0.1:port.
export function listening(port) {
  return new Promise((resolve) => {
    const s = net.connect(port, '127.0.0.1');
    s.on('connect', () => { s.destroy(); resolve(true); });
    s.on('error', () => resolve(false));
  });
}

// The environment of a served plugin is what the test names and nothing
// else: no password, fixture or tool folder leaks in from the caller's.
export function serveEnv(env = {}) {
  const e = { ...process.env, DEMO: '0' };
  for (const k of ['SERVER', 'PORT', 'BOT_PASSWORD', 'VISTREL_MOCK_CSV', 'VISTREL_TOOL_PATH', 'MAKEFLAGS', 'MAKELEVEL', 'MFLAGS']) delete e[k];
  return Object.assign(e, env);
}

// Reads the lines a serve.sh or make serve child prints: the folder it
// works in (every process it starts names it) and anything on stderr.
export function watchOutput(child) {
  const out = { stdout: '', stderr: '' };
  child.stdout.on('data', (b) => (out.stdout += b));
  child.stderr.on('data', (b) => (out.stderr += b));
  out.folder = () => (out.stdout.match(/configuration and logs: (\S+)/) || [])[1];
  return out;
}

// Starts tools/serve.sh on a free port; env picks SERVER and adds
// BOT_PASSWORD, VISTREL_MOCK_CSV, VISTREL_TOOL_PATH or DEMO.
// The child stays in this process's group: a Ctrl-C at the terminal reaches
// it too, and it stops its servers; stop() sends the SIGTERM that make
// serve's users send.
export async function startServer(env = {}) {
  const port = await freePort();
  const child = spawn('sh', [ROOT + 'tools/serve.sh'], { env: serveEnv({ PORT: String(port), ...env }), stdio: ['ignore', 'pipe', 'pipe'] });
  const out = watchOutput(child);
  const exited = new Promise((r) => child.on('exit', (code, signal) => r(signal || code)));
  const base = `http://127.0.0.1:${port}`;
  // serve.sh gives its servers a few seconds before SIGKILL; a stop that
  // takes far longer is a fault of its own and must not hang the run.
  const stop = async () => {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGTERM');
    let timer;
    const late = new Promise((r) => (timer = setTimeout(r, 30000, 'late')));
    const status = await Promise.race([exited, late]);
    clearTimeout(timer);
    if (status !== 'late') return status;
    child.kill('SIGKILL');
    throw new Error(`serve.sh did not stop within 30 s; its folder: ${out.folder()}`);
  };
  try {
    await until(async () => {
      if (child.exitCode !== null) throw new Error(`serve.sh exited ${child.exitCode}: ${out.stderr}`);
      return fetch(base + '/plugin_vistrel?action=info').then(() => true, () => false);
    }, `${env.SERVER || 'lighttpd'} to answer`, 60000);
  } catch (e) {
    await stop();
    throw e;
  }
  return {
    base,
    port,
    folder: out.folder(),
    output: out,
    // Resolves to serve.sh's exit status once it and its servers are gone.
    stop,
  };
}
