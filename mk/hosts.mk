# The plugin under the hosts node operators run, lighttpd, Apache httpd and
# nginx with fcgiwrap, each started from its configuration in docs/servers/
# by tools/serve.sh (as make serve does); and make test's own prerequisites.
HOST_TESTS = tests/hosts/hosts.test.mjs tests/hosts/node-password.test.mjs tests/hosts/prereqs.test.mjs
# The hosts' Debian packages by their plain names, each of which installs
# its program as /usr/sbin/NAME: hosts-deps installs them here, make test-deb
# in its roots, and tools/serve.sh, to which they are exported, those of its
# SERVER.
HOST_PACKAGES = lighttpd apache2 nginx fcgiwrap
export HOST_PACKAGES

.PHONY: test-prereqs test-hosts hosts-deps

# Node.js 20 or later with npm: one line and a stop when missing.
test-prereqs:
	@sh tools/check-prereqs.sh

hosts-deps:
	@tools/ensure-packages.sh $(foreach p,$(HOST_PACKAGES),/usr/sbin/$(p):$(p))

# One file at a time: each starts its own servers.
test-hosts: $(BIN) hosts-deps
	node --test --test-concurrency=1 $(HOST_TESTS)
