# make deb: the Debian package, built the Debian way (debian/, debhelper,
# dpkg-buildpackage) from a copy of the working tree under build/deb, since
# dpkg-buildpackage writes its results into the folder above the sources;
# then lintian. make test-deb installs it in fresh Debian 12 and 13 roots,
# serves it with lighttpd, Apache and nginx, and boots them with systemd for
# an operator's reloads, password changes and an upgrade to the same sources
# built at a higher version, DEB_NEXT (tests/deb/test-deb.sh).
DEB_VERSION := $(shell sed -n '1s/^[^(]*(\([^)]*\)).*/\1/p' debian/changelog)
DEB_DIR      = $(BUILD)/deb
DEB          = $(BUILD)/vistrel_$(DEB_VERSION)_amd64.deb
DEB_NEXT_VERSION = $(DEB_VERSION)+next1
DEB_NEXT_DIR     = $(BUILD)/deb-next
DEB_NEXT         = $(BUILD)/vistrel_$(DEB_NEXT_VERSION)_amd64.deb

.PHONY: deb deb-deps deb-next test-deb

# Every file git knows or would take, as it is in the working tree, into $(1).
define copy_tree
rm -rf $(1)
@mkdir -p $(1)
git ls-files -z --cached --others --exclude-standard | \
  xargs -0 sh -c 'for f; do [ -e "$$f" ] || [ -L "$$f" ] && printf "%s\0" "$$f"; done' sh | \
  tar --null -T - -cf - | tar -xf - -C $(1)
endef

deb-deps:
	@tools/ensure-packages.sh dpkg-buildpackage:dpkg-dev dh:debhelper g++:g++ make:make \
	  $(MUSL_SPECS):musl-tools lintian:lintian git:git

deb: deb-deps
	rm -rf $(DEB_DIR)
	$(call copy_tree,$(DEB_DIR)/src)
	cd $(DEB_DIR)/src && dpkg-buildpackage -b -us -uc
	cp $(DEB_DIR)/vistrel_$(DEB_VERSION)_amd64.deb $(DEB)
	lintian --fail-on error,warning --info $(DEB_DIR)/vistrel_$(DEB_VERSION)_amd64.changes
	@echo "built $(DEB)"

# The same sources at a later version: the copy's changelog gets an entry
# above the first, so the package, and all that reads its version there,
# has the later one. Built the same way, without lintian's second look.
deb-next: deb-deps
	$(call copy_tree,$(DEB_NEXT_DIR)/src)
	cd $(DEB_NEXT_DIR)/src && { \
	  printf 'vistrel (%s) unstable; urgency=medium\n\n  * The same sources, at a later version.\n\n -- %s\n\n' \
	    '$(DEB_NEXT_VERSION)' "$$(sed -n '0,/^ -- /s/^ -- //p' debian/changelog)"; cat debian/changelog; } >debian/changelog.next && \
	  mv debian/changelog.next debian/changelog && dpkg-buildpackage -b -us -uc >../build.log 2>&1 || \
	  { tail -n 20 ../build.log; exit 1; }
	cp $(DEB_NEXT_DIR)/vistrel_$(DEB_NEXT_VERSION)_amd64.deb $(DEB_NEXT)
	@echo "built $(DEB_NEXT)"

# debootstrap makes the base roots and systemd-nspawn boots them; curl and
# ip run outside them, in the private network of each server under test.
test-deb: deb deb-next
	@tools/ensure-packages.sh debootstrap:debootstrap curl:curl ip:iproute2 unshare:util-linux \
	  systemd-nspawn:systemd-container
	HOST_PACKAGES="$(HOST_PACKAGES)" nice tests/deb/test-deb.sh $(DEB) $(DEB_NEXT)
