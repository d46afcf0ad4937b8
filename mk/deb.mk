# make deb: the Debian package, built the Debian way (debian/, debhelper,
# dpkg-buildpackage) from a copy of the working tree under build/deb, since
# dpkg-buildpackage writes its results into the folder above the sources;
# then lintian. make test-deb installs it in fresh Debian 12 and 13 roots
# and serves it with lighttpd, Apache and nginx (tests/deb/test-deb.sh).
DEB_VERSION := $(shell sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p' debian/changelog)
DEB_DIR      = $(BUILD)/deb
DEB          = $(BUILD)/vistrel_$(DEB_VERSION)_amd64.deb

.PHONY: deb deb-deps test-deb

deb-deps:
	@tools/ensure-packages.sh dpkg-buildpackage:dpkg-dev dh:debhelper g++:g++ make:make \
	  $(MUSL_SPECS):musl-tools lintian:lintian git:git

# Every file git knows or would take, as it is in the working tree.
deb: deb-deps
	rm -rf $(DEB_DIR)
	@mkdir -p $(DEB_DIR)/src
	git ls-files -z --cached --others --exclude-standard | \
	  xargs -0 sh -c 'for f; do [ -e "$$f" ] || [ -L "$$f" ] && printf "%s\0" "$$f"; done' sh | \
	  tar --null -T - -cf - | tar -xf - -C $(DEB_DIR)/src
	cd $(DEB_DIR)/src && dpkg-buildpackage -b -us -uc
	cp $(DEB_DIR)/vistrel_$(DEB_VERSION)_amd64.deb $(DEB)
	lintian --fail-on error,warning --info $(DEB_DIR)/vistrel_$(DEB_VERSION)_amd64.changes
	@echo "built $(DEB)"

# debootstrap makes the base roots; curl and ip run outside them, in the
# private network of each server under test.
test-deb: deb
	@tools/ensure-packages.sh debootstrap:debootstrap curl:curl ip:iproute2 unshare:util-linux
	nice tests/deb/test-deb.sh $(DEB)
