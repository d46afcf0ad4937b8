# The dashboard page: its scripts' syntax, browser tests, a local server and
# screenshots. Browser work needs Debian's chromium, lighttpd, nginx and
# fcgiwrap (the end-to-end test runs under both hosts) and the npm packages of
# package-lock.json; the steps install what is missing.
PORT ?= 8080
SERVER ?= lighttpd
BROWSER_TESTS = $(wildcard tests/browser/*.test.mjs)

.PHONY: test-js test-browser browser-deps serve screenshots

# The page's scripts as the browser gets them (app.js inside its wrapper).
test-js: $(BIN)
	node --check web/theme-boot.js
	node --check web/theme-listen.js
	node tests/browser/parse-page.mjs $(BIN)

browser-deps: node-deps
	@tools/ensure-packages.sh /usr/bin/chromium:chromium /usr/sbin/lighttpd:lighttpd \
	  /usr/sbin/nginx:nginx /usr/sbin/fcgiwrap:fcgiwrap

# One test file at a time: each starts its own servers and Chromium.
test-browser: $(BIN) browser-deps
	node --test --test-concurrency=1 $(BROWSER_TESTS)

# SERVER (lighttpd, apache, nginx), PORT, DEMO and BOT_PASSWORD (see
# tools/serve.sh) pass through. exec: the SIGTERM make forwards reaches
# serve.sh itself, which stops the server before make returns.
serve: $(BIN)
	@PORT=$(PORT) SERVER=$(SERVER) exec sh tools/serve.sh

screenshots: $(BIN) browser-deps
	node tools/screenshots.mjs
