// The plugin behind each real host (lighttpd, Apache httpd, nginx with
// fcgiwrap), each started from the configuration shipped in docs/servers/.
// One table of requests runs against every host; what the program itself
// answers is compared with the same request made to the binary directly, so
// any header, status or byte the host adds, drops or changes shows.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { startServer, serveEnv, watchOutput, freePort, listening, until, HOSTS, FAKES, FIXTURES, ROOT } from '../support/serve.mjs';

const BIN = process.env.VISTREL_BIN ? path.resolve(ROOT, process.env.VISTREL_BIN) : ROOT + 'build/plugin_vistrel';
// A space and a plus: in pwd it must arrive as %2B, untouched by the host.
const PASSWORD = 'open sesame+1';
const PWD = encodeURIComponent(PASSWORD);
const REFUSAL = '{"ok":false,"error":"invalid node password"}\n';
const RELAYED = ['content-type', 'cache-control', 'x-content-type-options'];

// One folder for the file, open to the user the hosts run the plugin as
// (www-data when the tests run as root): the fake nvidia-smi with its
// answers, the log of its calls, and a canary folder anyone may write in.
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vistrel-hosts-'));
fs.chmodSync(dir, 0o755);
for (const [from, to] of [[FAKES + 'nvidia-smi', 'fake-nvidia-smi'], [FAKES + 'fake-common.sh', 'fake-common.sh'],
  [FIXTURES + 'nvidia-gpus.txt', 'gpus.txt'], [FIXTURES + 'nvidia-apps.txt', 'apps.txt']]) {
  fs.copyFileSync(from, `${dir}/${to}`);
  fs.chmodSync(`${dir}/${to}`, 0o755);
}
fs.mkdirSync(`${dir}/tools`, { mode: 0o755 });
fs.writeFileSync(`${dir}/tools/nvidia-smi`, [
  '#!/bin/sh',
  `FAKE_NVIDIA_GPU=${dir}/gpus.txt FAKE_NVIDIA_APPS=${dir}/apps.txt FAKE_LOG=${dir}/log/tool.log`,
  'export FAKE_NVIDIA_GPU FAKE_NVIDIA_APPS FAKE_LOG',
  `exec ${dir}/fake-nvidia-smi "$@"`,
  '',
].join('\n'));
fs.chmodSync(`${dir}/tools/nvidia-smi`, 0o755);
for (const d of ['log', 'canary']) {
  fs.mkdirSync(`${dir}/${d}`);
  fs.chmodSync(`${dir}/${d}`, 0o777);
}
const LOG = `${dir}/log/tool.log`;
fs.writeFileSync(LOG, '');
fs.chmodSync(LOG, 0o666);
after(() => fs.rmSync(dir, { recursive: true, force: true }));

// Shell text the program must never run: command substitution, backticks,
// separators and pipes, raw and percent-encoded. ${IFS} stands for a space,
// which a URL cannot hold; no %0A, which lighttpd refuses (400) before any
// program runs.
const CANARY = `${dir}/canary/ran`;
const TOUCH = `touch\${IFS}${CANARY}`;
const SHELL_QUERY = `action=metrics&a=$(${TOUCH})&b=\`${TOUCH}\`&c=;${TOUCH};|${TOUCH}&&${TOUCH}` +
  `&e=%24(${encodeURIComponent(TOUCH)})&f=${encodeURIComponent(`$(${TOUCH})`)}`;
const SHELL_HEADER = `$(${TOUCH});\`${TOUCH}\``;

// The same request made to the binary as a CGI program, with the fake tool on PATH.
function direct(query, headers = {}) {
  const env = { PATH: `${dir}/tools:/usr/bin:/bin`, BOT_PASSWORD: PASSWORD, QUERY_STRING: query };
  for (const [k, v] of Object.entries(headers)) env[`HTTP_${k.toUpperCase().replace(/-/g, '_')}`] = v;
  const r = spawnSync(BIN, [], { env, cwd: path.dirname(BIN) });
  const out = r.stdout;
  const end = out.indexOf('\r\n\r\n');
  const head = {};
  for (const line of out.subarray(0, end).toString('latin1').split('\r\n')) {
    const i = line.indexOf(':');
    head[line.slice(0, i).toLowerCase()] = line.slice(i + 1).trim();
  }
  return { status: head.status ? parseInt(head.status, 10) : 200, headers: head, body: out.subarray(end + 4).toString() };
}

async function request(base, target, { method = 'GET', headers = {} } = {}) {
  const res = await fetch(base + target, { method, headers, redirect: 'manual' });
  return { status: res.status, headers: res.headers, body: Buffer.from(await res.arrayBuffer()) };
}

// The tool calls made while fn runs, from the fake's own log.
async function toolCalls(fn) {
  const before = fs.statSync(LOG).size;
  const result = await fn();
  const lines = fs.readFileSync(LOG, 'utf8').slice(before).split('\n').filter(Boolean);
  return { result, calls: lines.map((l) => l.replace(/ \d+$/, '')) };
}

// The answers of two runs differ only in the time and the process id.
const sameRun = (s) => s.replace(/"utc":"[^"]*"/, '"utc":"-"').replace(/"pid":\d+/, '"pid":0');
const OK = { 'X-Bot-Password': PASSWORD };

// What the program answers through the host: [name, method, target, request headers, status, tool calls].
const PROGRAM = [
  ['the page', 'GET', '/plugin_vistrel', OK, 200, []],
  ['the page on the hub route, password in pwd', 'GET', `/plugins?plugin=vistrel&node=n1&pwd=${PWD}`, {}, 200, []],
  ['info, password as Authorization: Bearer', 'GET', '/plugin_vistrel?action=info', { Authorization: `Bearer ${PASSWORD}` }, 200, []],
  ['metrics from the fake nvidia-smi on the configured PATH', 'GET', '/plugins?plugin=vistrel&action=metrics', OK, 200, ['nvidia-smi gpu', 'nvidia-smi apps']],
  ['no password: 401 and the refusal', 'GET', '/plugin_vistrel', {}, 401, []],
  ['a wrong X-Bot-Password', 'GET', '/plugin_vistrel?action=metrics', { 'X-Bot-Password': 'open sesame 1' }, 401, []],
  ['a wrong Bearer', 'GET', '/plugin_vistrel?action=info', { Authorization: 'Bearer open sesame 1' }, 401, []],
  ['a wrong pwd (a plus that is not %2B)', 'GET', '/plugin_vistrel?action=info&pwd=open%20sesame+1', {}, 401, []],
  ['HEAD: the program runs, the headers come alone', 'HEAD', '/plugin_vistrel?action=metrics', OK, 200, ['nvidia-smi gpu', 'nvidia-smi apps']],
  ['HEAD refused', 'HEAD', '/plugin_vistrel', {}, 401, []],
  ['shell text in every query parameter', 'GET', `/plugin_vistrel?${SHELL_QUERY}`, OK, 200, ['nvidia-smi gpu', 'nvidia-smi apps']],
  ['shell text in both password headers', 'GET', `/plugin_vistrel?${SHELL_QUERY}`, { 'X-Bot-Password': SHELL_HEADER, Authorization: `Bearer ${SHELL_HEADER}` }, 401, []],
];

// Paths next to the program's: none may serve the binary or run it.
const OUTSIDE = ['/plugin_vistrel/x', '/plugins/foo', '/plugin_vistrel/', '/plugins/', '/plugins/plugin_vistrel', '/plugin_vistrelx'];

// Every process whose command line names text (each server started by
// serve.sh names its private folder).
function processesNaming(text) {
  const found = [];
  for (const pid of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(pid)) continue;
    try {
      const cmd = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').replace(/\0/g, ' ');
      if (cmd.includes(text)) found.push(`${pid} ${cmd}`);
    } catch { /* gone meanwhile */ }
  }
  return found;
}

test('the canary works: the shell text creates it when a shell does run it', () => {
  spawnSync('sh', ['-c', `: ${SHELL_HEADER}`]);
  assert.equal(fs.existsSync(CANARY), true);
  fs.rmSync(CANARY);
});

for (const host of HOSTS) {
  describe(host, () => {
    let server;
    before(async () => {
      server = await startServer({ SERVER: host, BOT_PASSWORD: PASSWORD, VISTREL_TOOL_PATH: `${dir}/tools` });
    });
    after(() => server?.stop());

    for (const [name, method, target, headers, status, tools] of PROGRAM) {
      test(name, async () => {
        const want = direct(target.split('?')[1] || '', headers);
        const { result: got, calls } = await toolCalls(() => request(server.base, target, { method, headers }));
        assert.equal(want.status, status, 'the program itself');
        assert.equal(got.status, status);
        for (const h of RELAYED) assert.equal(got.headers.get(h), want.headers[h], h);
        assert.equal(sameRun(got.body.toString()), method === 'HEAD' ? '' : sameRun(want.body));
        if (status === 401 && method === 'GET') assert.equal(got.body.toString(), REFUSAL);
        if (tools.length && method === 'GET') {
          const doc = JSON.parse(got.body);
          assert.deepEqual([doc.source, doc.count, doc.process_count, doc.driver], ['nvidia', 3, 2, '590.48.01']);
        }
        // Nothing else ran: no bad arguments, no request data in the tool's environment.
        assert.deepEqual(calls, tools);
        assert.equal(fs.existsSync(CANARY), false, 'the canary file exists: something ran the shell text');
      });
    }

    test('the paths beside the program neither hand out the binary nor run it', async () => {
      for (const target of OUTSIDE) {
        const { result: got, calls } = await toolCalls(() => request(server.base, `${target}?action=metrics`, { headers: OK }));
        assert.equal(got.status, 404, target);
        assert.equal(got.body.includes('\x7fELF'), false, target);
        assert.equal(got.body.includes('"ok":'), false, target);
        assert.deepEqual(calls, [], target);
      }
    });

    test('make serve extras: / leads to the dashboard, /favicon.ico is an empty answer', async () => {
      const root = await request(server.base, '/');
      assert.equal(root.status, 301);
      assert.equal(new URL(root.headers.get('location'), server.base).pathname, '/plugin_vistrel');
      const icon = await request(server.base, '/favicon.ico');
      assert.deepEqual([icon.status, icon.headers.get('content-type'), icon.body.length], [200, 'image/x-icon', 0]);
    });

    test('stopped with SIGTERM, nothing is left: no process, no listener, no folder', async () => {
      assert.ok(server.folder);
      assert.notDeepEqual(processesNaming(server.folder), []);
      assert.equal(await server.stop(), 0);
      assert.equal(await listening(server.port), false);
      assert.deepEqual(processesNaming(server.folder), []);
      assert.equal(fs.existsSync(server.folder), false);
    });

    // What `make serve & ... kill $!` does: make gets the SIGTERM, and by the
    // time it has ended so has everything it started.
    test('make serve with the demo, stopped by a SIGTERM to make', async () => {
      const port = await freePort();
      const make = spawn('make', ['-s', '--no-print-directory', 'serve', `SERVER=${host}`, `PORT=${port}`],
        { cwd: ROOT, env: serveEnv({ DEMO: '1' }), stdio: ['ignore', 'pipe', 'pipe'] });
      const out = watchOutput(make);
      const ended = new Promise((r) => make.on('exit', (code, signal) => r(signal || code)));
      let folder;
      try {
        const doc = await until(() => {
          if (make.exitCode !== null) throw new Error(`make serve exited ${make.exitCode}: ${out.stderr}`);
          return fetch(`http://127.0.0.1:${port}/plugin_vistrel?action=metrics`).then((r) => r.json()).catch(() => null);
        }, 'make serve to answer', 60000);
        folder = out.folder();
        assert.ok(folder, out.stdout);
        // The demo says it is one, in every card and in the driver badge.
        assert.deepEqual(doc.gpus.map((g) => g.name.split(' ')[0]), ['Demo', 'Demo', 'Demo', 'Demo']);
        assert.match(doc.driver, /demo/);
      } finally {
        make.kill('SIGTERM');
        await ended;
      }
      assert.equal(await listening(port), false);
      assert.deepEqual(processesNaming(folder), []);
      assert.equal(fs.existsSync(folder), false);
      assert.equal(out.stderr.replace(/make: \*\*\* .*\n/g, ''), '');
    });
  });
}
