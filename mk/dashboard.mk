# The dashboard page: its scripts' syntax, browser tests, a local server and
# screenshots. Browser work needs Debian's chromium and firefox-esr, the
# hosts' packages (the page is served by lighttpd, end to end by nginx too)
# and the npm packages of package-lock.json; the steps install what is
# missing.
PORT ?= 8080
SERVER ?= lighttpd
# The engines the browser tests run in: make test-browser BROWSER=firefox runs
# one. A BROWSER from the environment is a desktop's link opener, not a choice
# of engine, so only one given to make counts.
ifneq ($(filter command line override,$(origin BROWSER)),)
BROWSERS := $(BROWSER)
else
BROWSERS := chromium firefox
endif
BROWSER_TESTS = $(wildcard tests/browser/*.test.mjs)

.PHONY: test-js test-browser browser-deps serve screenshots

# The page's scripts as the browser gets them (app.js inside its wrapper).
test-js: $(BIN)
	node --check web/theme-boot.js
	node --check web/theme-listen.js
	node tests/browser/parse-page.mjs $(BIN)

browser-deps: node-deps hosts-deps
	@tools/ensure-packages.sh /usr/bin/chromium:chromium /usr/bin/firefox-esr:firefox-esr

# Each engine in turn, one test file at a time: each starts its own servers
# and browsers.
test-browser: $(BIN) browser-deps
	@set -e; for b in $(BROWSERS); do \
	  echo "browser tests in $$b"; \
	  BROWSER=$$b node --test --test-concurrency=1 $(BROWSER_TESTS); \
	done

# SERVER (lighttpd, apache, nginx), PORT, DEMO and BOT_PASSWORD (see
# tools/serve.sh) pass through. exec: the SIGTERM make forwards reaches
# serve.sh itself, which stops the server before make returns.
serve: $(BIN)
	@PORT=$(PORT) SERVER=$(SERVER) exec sh tools/serve.sh

screenshots: $(BIN) browser-deps
	BROWSER=chromium node tools/screenshots.mjs
