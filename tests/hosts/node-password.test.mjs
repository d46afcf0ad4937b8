// The node password file's one check (docs/servers/vistrel-node-password),
// over a table of files: the line the helper says for each, and what Apache,
// which reads the file itself at every request with a pattern of its own,
// makes of the same bytes. Then `set`, the README's way to a new password.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { startServer, ROOT } from '../support/serve.mjs';

const HELPER = ROOT + 'docs/servers/vistrel-node-password';
const ASROOT = process.getuid() === 0;
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'vistrel-password-'));
after(() => fs.rmSync(dir, { recursive: true, force: true }));

// The helper, as the package installs it, but for a folder of the test's own.
const helper = `${dir}/vistrel-node-password`;
fs.writeFileSync(helper, fs.readFileSync(HELPER, 'utf8').replaceAll('/etc/vistrel/', `${dir}/etc/`), { mode: 0o755 });
fs.mkdirSync(`${dir}/etc`);
const FILE = `${dir}/etc/node-password`;

function run(args, { input = '', umask } = {}) {
  const cmd = umask === undefined ? [helper, ...args] : ['sh', '-c', `umask ${umask} && exec "$0" "$@"`, helper, ...args];
  const r = spawnSync(cmd[0], cmd.slice(1), { input, encoding: 'utf8' });
  return { status: r.status, out: r.stdout, err: r.stderr };
}

const BLANK = 'begins or ends with a blank, which servers trim from headers';
const CONTROL = 'holds a control character (a tab, a carriage return)';
const QUOTING = 'holds " or \\, which lighttpd\'s configuration cannot carry';
// A text's UTF-8 bytes, each as the Latin-1 character fetch sends as that byte.
const latin1 = (text) => Buffer.from(text).toString('latin1');
const NOT_UTF8 = 'holds bytes that are no printable character in UTF-8';
const PRINTABLE = ' !#$%&\'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[]^_`abcdefghijklmnopqrstuvwxyz{|}~';

// [what, the file's bytes, the helper's line (null: usable), the password
// a client sends, each byte a Latin-1 character: what a reader that got the
// file wrong would take].
const CASES = [
  ['64 hex digits', 'a1b2c3d4'.repeat(8) + '\n', null],
  ['one character', 'x\n', null],
  ['every printable character but " and \\, blanks inside', `x${PRINTABLE}x\n`, null],
  ['255 bytes', 'p'.repeat(255) + '\n', null],
  ['256 bytes', 'p'.repeat(256) + '\n', '257 bytes, more than a password of 255 and its newline', 'p'.repeat(256)],
  ['10 KB on one line', 'p'.repeat(10240) + '\n', '10241 bytes, more than a password of 255 and its newline', 'p'.repeat(255)],
  ['empty', '', 'empty', ''],
  ['an empty line', '\n', 'an empty line', ''],
  ['no newline at the end', 'abc', 'does not end with a newline', 'abc'],
  ['two lines', 'abc\ndef\n', 'more than one line', 'abc'],
  ['a blank line after it', 'abc\n\n', 'more than one line', 'abc'],
  ['a leading blank', ' abc\n', BLANK, 'abc'],
  ['a trailing blank', 'abc \n', BLANK, 'abc'],
  ['a tab inside', 'a\tb\n', CONTROL, 'a\tb'],
  ['a CRLF line end', 'abc\r\n', CONTROL, 'abc'],
  ['a NUL inside', 'ab\0cd\n', 'holds a NUL byte', 'ab'],
  ['a NUL at the end', 'abcd\0\n', 'holds a NUL byte', 'abcd'],
  ['any language in UTF-8', 'p\u00e4ssw\u00f6rd \u5bc6\u7801 \u20ac \u{1f511}\n', null],
  ['255 bytes of UTF-8', '\u20ac'.repeat(85) + '\n', null],
  ['258 bytes of UTF-8', '\u20ac'.repeat(86) + '\n', '259 bytes, more than a password of 255 and its newline', latin1('\u20ac'.repeat(86))],
  ['Latin-1, not UTF-8', Buffer.from('caf\xe9\n', 'latin1'), NOT_UTF8, 'caf\xe9'],
  ['a lone continuation byte', Buffer.from('a\x80b\n', 'latin1'), NOT_UTF8, 'a\x80b'],
  ['UTF-8 cut short', Buffer.from('ab\xe2\x82\n', 'latin1'), NOT_UTF8, 'ab\xe2\x82'],
  ['an overlong form', Buffer.from('a\xc0\xafb\n', 'latin1'), NOT_UTF8, 'a\xc0\xafb'],
  ['a surrogate', Buffer.from('a\xed\xa0\x80b\n', 'latin1'), NOT_UTF8, 'a\xed\xa0\x80b'],
  ['past U+10FFFF', Buffer.from('a\xf4\x90\x80\x80b\n', 'latin1'), NOT_UTF8, 'a\xf4\x90\x80\x80b'],
  ['a C1 control (U+0085)', 'a\u0085b\n', NOT_UTF8, latin1('a\u0085b')],
  ['a DEL', 'a\x7fb\n', CONTROL, 'a\x7fb'],
  ['a double quote', 'a"b\n', QUOTING, 'a"b'],
  ['a backslash', 'a\\b\n', QUOTING, 'a\\b'],
];

function writeFile(bytes, mode = 0o600) {
  fs.rmSync(FILE, { force: true });
  fs.writeFileSync(FILE, bytes, { mode });
  fs.chmodSync(FILE, mode);
}

test('check: nothing for a usable file, else one line naming the file and what is wrong', () => {
  for (const [what, bytes, line] of CASES) {
    writeFile(bytes);
    const r = run(['check']);
    if (line === null) assert.deepEqual([r.status, r.err], [0, ''], what);
    else assert.deepEqual([r.status, r.err], [1, `vistrel: ${FILE}: ${line}\n`], what);
    assert.equal(r.out, '', what);
  }
});

test('check: the file must be there, a file, and closed to others', () => {
  fs.rmSync(FILE, { force: true });
  assert.match(run(['check']).err, new RegExp(`^vistrel: ${FILE}: missing \\(a new one: see .*\\)\\n$`));
  fs.mkdirSync(FILE);
  assert.equal(run(['check']).err, `vistrel: ${FILE}: not a regular file\n`);
  fs.rmdirSync(FILE);
  for (const [mode, ok] of [[0o600, true], [0o640, true], [0o400, true], [0o644, false], [0o660, false], [0o604, false], [0o602, false]]) {
    writeFile('abc\n', mode);
    const r = run(['check']);
    const m = mode.toString(8);
    if (ok) assert.deepEqual([r.status, r.err], [0, ''], m);
    else assert.equal(r.err, `vistrel: ${FILE}: mode ${m} is too open (chmod 0600 ${FILE}, or 0640 with the group that must read it)\n`, m);
  }
});

test('exec hands the line to the command as BOT_PASSWORD, and runs nothing for an unusable file', () => {
  writeFile('open sesame+1\n');
  assert.deepEqual(run(['exec', 'sh', '-c', 'printf %s "$BOT_PASSWORD"']), { status: 0, out: 'open sesame+1', err: '' });
  writeFile('open sesame+1 \n');
  assert.deepEqual(run(['exec', 'sh', '-c', 'echo ran']), { status: 1, out: '', err: `vistrel: ${FILE}: ${BLANK}\n` });
});

test('set: a new password in place of the old, whatever the umask; nothing left behind on failure', () => {
  const entries = () => fs.readdirSync(`${dir}/etc`).sort();
  const stat = () => { const s = fs.statSync(FILE); return [(s.mode & 0o777).toString(8), s.uid, s.gid]; };
  fs.rmSync(FILE, { force: true });
  // A first file: root's, 0640 with www-data (the servers' group) when run
  // as root; the caller's alone otherwise.
  assert.deepEqual(run(['set'], { input: 'first', umask: '000' }), { status: 0, out: '', err: '' });
  assert.equal(fs.readFileSync(FILE, 'utf8'), 'first\n');
  const www = spawnSync('getent', ['group', 'www-data'], { encoding: 'utf8' }).stdout.split(':')[2];
  assert.deepEqual(stat(), ASROOT && www ? ['640', 0, Number(www)] : ['600', process.getuid(), process.getgid()]);
  // The old file's mode carries over, under any umask.
  fs.chmodSync(FILE, 0o600);
  assert.equal(run(['set'], { input: 'second\n', umask: '077' }).status, 0);
  assert.equal(fs.readFileSync(FILE, 'utf8'), 'second\n');
  assert.equal(stat()[0], '600');
  assert.deepEqual(entries(), ['node-password']);
  for (const [input, line] of [['bad \n', BLANK], ['', 'empty'], ['two\nlines\n', 'more than one line']]) {
    const r = run(['set'], { input });
    assert.deepEqual([r.status, r.err], [1, `vistrel: ${FILE}: ${line}\n`], JSON.stringify(input));
    assert.equal(fs.readFileSync(FILE, 'utf8'), 'second\n');
    assert.deepEqual(entries(), ['node-password']);
  }
  // An old file too open is not copied onto the new one.
  fs.chmodSync(FILE, 0o644);
  assert.equal(run(['set'], { input: 'third\n' }).status, 1);
  assert.equal(fs.readFileSync(FILE, 'utf8'), 'second\n');
  assert.deepEqual(entries(), ['node-password']);
});

// Apache takes the password from the file at every request, through the
// shipped configuration's pattern: for every case it must take what the
// helper takes, and answer nothing but 403 for the rest.
let apache;
before(async () => {
  apache = await startServer({ SERVER: 'apache', BOT_PASSWORD: 'open sesame+1' });
});
after(() => apache?.stop());

test("Apache's pattern takes exactly the files the check takes", async () => {
  const file = `${apache.folder}/etc/node-password`;
  const mode = fs.statSync(file).mode & 0o777;
  for (const [what, bytes, line, sent] of CASES) {
    fs.writeFileSync(file, bytes);
    fs.chmodSync(file, mode);
    // Header values travel as bytes: each byte one Latin-1 character here.
    // One that fetch will not send as a header (a DEL) goes in pwd.
    const password = line === null ? latin1(bytes.slice(0, -1)) : sent;
    let target = '/plugin_vistrel?action=info';
    const headers = {};
    if (/[\x00-\x08\x0a-\x1f\x7f]/.test(password)) {
      target += '&pwd=' + [...Buffer.from(password, 'latin1')].map((b) => '%' + b.toString(16).padStart(2, '0')).join('');
    } else if (password) {
      headers['X-Bot-Password'] = password;
    }
    const res = await fetch(apache.base + target, { headers });
    const body = await res.text();
    if (line === null) {
      assert.equal(res.status, 200, what);
      assert.match(body, /"node_auth":true/, what);
    } else {
      assert.equal(res.status, 403, `${what}: ${body.slice(0, 80)}`);
    }
  }
});
