// ESLint for the page's scripts (web/*.js), a small set of rules that each
// guard something this page relies on. The scripts run in the browser as
// classic scripts, with no build step and no modules.
import js from '@eslint/js';

const browser = {
  window: 'readonly', document: 'readonly', location: 'readonly', localStorage: 'readonly',
  URLSearchParams: 'readonly', fetch: 'readonly', setTimeout: 'readonly', clearTimeout: 'readonly',
  CustomEvent: 'readonly', Map: 'readonly', AbortController: 'readonly',
};

export default [
  js.configs.recommended,
  {
    files: ['web/**/*.js'],
    languageOptions: { ecmaVersion: 2020, sourceType: 'script', globals: browser },
    rules: {
      // The page defines exactly two global functions, on purpose, through
      // window; anything else that leaks into the global scope is a mistake.
      'no-implicit-globals': 'error',
      // Each theme step is guarded on its own: a refused storage or a missing
      // API skips that step, silently, by design.
      'no-empty': ['error', { allowEmptyCatch: true }],
      // Values from the document are compared as they come: == would let
      // "0" equal 0 without saying so.
      eqeqeq: ['error', 'always', { null: 'ignore' }],
      // A name that hides an outer one (pwd, node, N) is a bug waiting.
      'no-shadow': 'error',
      // Nothing from the network is ever run as code.
      'no-eval': 'error',
      'no-implied-eval': 'error',
      'no-new-func': 'error',
      'no-unused-vars': ['error', { args: 'none', caughtErrors: 'none' }],
    },
  },
  {
    // The page writes app.js inside a function of its own, so its top level
    // is a function scope, as CommonJS gives it; that wrapper is all it shares.
    files: ['web/app.js'],
    languageOptions: { sourceType: 'commonjs' },
    rules: { 'no-restricted-globals': ['error', 'require', 'module', 'exports'] },
  },
];
