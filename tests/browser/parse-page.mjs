// Compiles every inline script of the page exactly as the binary serves it,
// so a syntax error in web/*.js, or in the wrapper page.cpp writes around
// app.js, fails the build before any browser is started.
//   node tests/browser/parse-page.mjs BIN
import { execFileSync } from 'node:child_process';
import vm from 'node:vm';

const page = execFileSync(process.argv[2], [], { env: { QUERY_STRING: '' } }).toString('latin1');
const scripts = [...page.matchAll(/<script>([\s\S]*?)<\/script>/g)].map((m) => m[1]);
const names = ['theme-boot.js', 'theme-listen.js', 'app.js'];
if (scripts.length !== names.length) {
  console.error(`parse-page: expected ${names.length} scripts in the page, found ${scripts.length}`);
  process.exit(1);
}
let failed = false;
scripts.forEach((code, i) => {
  try {
    new vm.Script(code, { filename: `page script ${i + 1} (web/${names[i]})` });
  } catch (e) {
    console.error(e.stack.split('\n').slice(0, 5).join('\n'));
    failed = true;
  }
});
if (failed) process.exit(1);
console.log(`parse-page: ${scripts.length} page scripts compile`);
