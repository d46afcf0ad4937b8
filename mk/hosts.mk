# The plugin under the hosts node operators run, lighttpd, Apache httpd and
# nginx with fcgiwrap, each started from its configuration in docs/servers/
# by tools/serve.sh (as make serve does); and make test's own prerequisites.
HOST_TESTS = tests/hosts/hosts.test.mjs tests/hosts/node-password.test.mjs tests/hosts/prereqs.test.mjs
# The hosts' Debian packages (make test-deb installs them in its roots).
HOST_PACKAGES = lighttpd apache2 nginx fcgiwrap

.PHONY: test-prereqs test-hosts hosts-deps

# Node.js 20 or later with npm: one line and a stop when missing.
test-prereqs:
	@sh tools/check-prereqs.sh

hosts-deps:
	@tools/ensure-packages.sh /usr/sbin/lighttpd:lighttpd /usr/sbin/apache2:apache2 \
	  /usr/sbin/nginx:nginx /usr/sbin/fcgiwrap:fcgiwrap

# One file at a time: each starts its own servers.
test-hosts: $(BIN) hosts-deps
	node --test --test-concurrency=1 $(HOST_TESTS)
