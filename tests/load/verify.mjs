// Follow-up of the load test: N requests of each kind, several at a time,
// each response read whole and checked byte for byte where the bytes are
// fixed: JSON documents parse and carry the expected values, the page is
// complete, the refusal is exact. Usage: node verify.mjs PORT SECRET [N]
import http from 'node:http';
import { readFileSync } from 'node:fs';

const [port, secret, nArg] = process.argv.slice(2);
const N = Number(nArg || 40);
const agent = new http.Agent({ keepAlive: true, maxSockets: 8 });
// The refusal's body, from the expected response the other suites compare with.
const REFUSAL = readFileSync(new URL('../data/expected/refusal', import.meta.url), 'latin1').split('\r\n\r\n')[1];
const JSON_TYPE = 'application/json; charset=utf-8';

function get(path, headers = {}) {
  return new Promise((resolve, reject) => {
    const req = http.get({ host: '127.0.0.1', port, path, headers, agent }, (res) => {
      const chunks = [];
      res.on('data', (c) => chunks.push(c));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, complete: res.complete,
                                    body: Buffer.concat(chunks).toString('utf8') }));
      res.on('error', reject);
    });
    req.on('error', reject);
    req.setTimeout(20000, () => req.destroy(new Error('no answer within 20 s')));
  });
}

function assert(cond, what) {
  if (!cond) throw new Error(what);
}

function common(r, status, type) {
  assert(r.complete, 'response cut short');
  assert(r.status === status, `status ${r.status}, expected ${status}`);
  assert(r.headers['content-type'] === type, `content-type ${r.headers['content-type']}`);
  assert(r.headers['cache-control'] === 'no-store', 'cache-control');
  assert(r.headers['x-content-type-options'] === 'nosniff', 'x-content-type-options');
  if (r.headers['content-length'] !== undefined)
    assert(Number(r.headers['content-length']) === Buffer.byteLength(r.body), 'content-length differs from the body');
}

function metrics(r, source, count) {
  common(r, 200, JSON_TYPE);
  assert(r.body.endsWith('}\n') && r.body.indexOf('\n') === r.body.length - 1, 'document is not one line');
  const d = JSON.parse(r.body);
  assert(d.ok === true && d.action === 'metrics' && d.source === source && d.available === true, 'outcome');
  assert(d.count === count && d.gpus.length === count, `count ${d.count}`);
  assert(d.process_count === d.processes.length && d.process_count === 2, 'processes');
  assert(/^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/.test(d.utc), 'utc');
}

const kinds = {
  'metrics from the CSV fixture': ['/plugin_vistrel?action=metrics', {}, (r) => metrics(r, 'mock', 2)],
  'metrics from nvidia-smi': ['/nv/plugin_vistrel?action=metrics', {}, (r) => metrics(r, 'nvidia', 3)],
  info: ['/plugin_vistrel?action=info', {}, (r) => {
    common(r, 200, JSON_TYPE);
    const d = JSON.parse(r.body);
    assert(d.ok === true && d.action === 'info' && d.node_auth === false && d.max_gpus === 32, 'info values');
  }],
  page: ['/plugin_vistrel', {}, (r) => {
    common(r, 200, 'text/html; charset=utf-8');
    assert(r.body.startsWith('<!DOCTYPE html>') && r.body.endsWith('</html>\n'), 'page incomplete');
  }],
  'refused, wrong header': ['/locked/plugin_vistrel?action=info', { 'X-Bot-Password': 'wrong' }, (r) => {
    common(r, 401, JSON_TYPE);
    assert(r.body === REFUSAL, 'refusal body');
  }],
  'refused, wrong Bearer and pwd': ['/locked/plugin_vistrel?pwd=wrong', { Authorization: 'Bearer wrong' }, (r) => {
    common(r, 401, JSON_TYPE);
    assert(r.body === REFUSAL, 'refusal body');
  }],
  'accepted, right Bearer': ['/locked/plugin_vistrel?action=info', { Authorization: `Bearer ${secret}` }, (r) => {
    common(r, 200, JSON_TYPE);
    assert(JSON.parse(r.body).node_auth === true, 'node_auth');
  }],
};

let failed = 0;
for (const [name, [path, headers, check]] of Object.entries(kinds)) {
  const results = await Promise.allSettled(Array.from({ length: N }, () => get(path, headers).then(check)));
  const bad = results.filter((r) => r.status === 'rejected');
  console.log(`VERIFY ${name}: ${N - bad.length}/${N} correct`);
  if (bad.length) {
    failed += bad.length;
    console.log(`  first failure: ${bad[0].reason.message}`);
  }
}
agent.destroy();
process.exit(failed ? 1 : 0);
