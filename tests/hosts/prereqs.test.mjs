// make test's first step, tools/check-prereqs.sh, under a PATH made for each
// case: no node at all, Debian 12's node 18, a node without npm, and a good one.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { ROOT } from '../support/serve.mjs';

// A folder holding only the named fake programs; node prints its version.
function fakeBin(tools) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vistrel-prereqs-'));
  for (const [name, version] of Object.entries(tools)) {
    fs.writeFileSync(`${dir}/${name}`, `#!/bin/sh\necho ${version}\n`, { mode: 0o755 });
  }
  return dir;
}

function check(tools) {
  const dir = fakeBin(tools);
  try {
    const r = spawnSync('/bin/sh', [ROOT + 'tools/check-prereqs.sh'], { env: { PATH: dir }, encoding: 'utf8' });
    return { status: r.status, out: r.stdout + r.stderr };
  } finally {
    fs.rmSync(dir, { recursive: true });
  }
}

// Both releases are named: Debian 13's own packages, and for Debian 12
// (whose nodejs is 18) a newer Node.js from elsewhere.
const HOW = /on Debian 13 with apt-get install (nodejs )?npm;.*NodeSource.*nodejs\.org/;

test('what is missing is named in one line with where to get it', () => {
  const cases = [
    ['no node', {}, /no node on PATH/],
    ["Debian 12's node 18", { node: 'v18.19.0', npm: '9.2.0' }, /node is v18\.19\.0/],
    ['node 19', { node: 'v19.9.0', npm: '9.6.3' }, /node is v19\.9\.0/],
    ['a node that prints no version', { node: '', npm: '10.0.0' }, /node is unknown/],
    ['node 20 without npm', { node: 'v20.11.1' }, /needs npm beside node v20\.11\.1/],
  ];
  for (const [what, tools, said] of cases) {
    const { status, out } = check(tools);
    assert.equal(status, 1, what);
    assert.match(out, said, what);
    assert.match(out, HOW, what);
    assert.equal(out.split('\n').filter(Boolean).length, 1, `${what}: ${out}`);
  }
});

test('Node.js 20 or later with npm passes silently', () => {
  for (const node of ['v20.0.0', 'v22.3.0', 'v100.1.0']) {
    assert.deepEqual(check({ node, npm: '10.2.4' }), { status: 0, out: '' }, node);
  }
});
