# vistrel: `make` builds build/plugin_vistrel; `make test` runs every check,
# in the order of TEST_STEPS below.

CXX      ?= g++
CXXFLAGS ?= -O2
PREFIX   ?= /usr/local

# One set of language and warning flags for every C++ compile: the program,
# its helpers and the tests. WARN_C are the warnings that C has as well,
# which the C floors of make bench take; one that only C++ knows (gcc fails a
# C compile that names it) is added to WARN after them.
CXXSTD   = -std=c++17
LANGF    = $(CXXSTD) -fno-exceptions -fno-rtti
WARN_C   = -Wall -Wextra -Werror -Wshadow -Wconversion -Wno-sign-conversion
WARN     = $(WARN_C)
CPPFLAGS = -Isrc -I$(BUILD)/gen -DVISTREL_VERSION='"$(VERSION)"'

# The version that --version and the info document report: the upstream part
# of debian/changelog's first entry (its epoch and Debian revision left out),
# so that a release names its version in one place.
VERSION := $(shell sed -n '1{s/^[^(]*(\([^)]*\)).*/\1/;T;s/^[0-9]*://;s/-[^-]*$$//;p;}' debian/changelog)
ifeq ($(VERSION),)
$(error debian/changelog names no version in its first line)
endif

BUILD = build
.DEFAULT_GOAL := all
BIN   = $(BUILD)/plugin_vistrel

# The program's units; the build adds the platform file of its system. main.o
# holds nothing but main, so every test links the other objects as they are.
UNITS = main plugin_vistrel collect text json page output platform_common

# ---- the page ------------------------------------------------------------------
# Every file of web/ is embedded as a constant named after it (tools/embed.cpp);
# page.cpp writes them in document order. body.html is written on one line
# (--join drops its line breaks).
WEB_SRC = $(sort $(wildcard web/*.html web/*.css web/*.js))
WEB_GEN = $(BUILD)/gen/web_assets.h

$(BUILD)/embed: tools/embed.cpp
	@mkdir -p $(@D)
	$(CXX) $(LANGF) $(WARN) -O1 -o $@ $<

$(WEB_GEN): $(BUILD)/embed $(WEB_SRC)
	@mkdir -p $(@D)
	$(BUILD)/embed $@ $(patsubst web/body.html,--join web/body.html,$(WEB_SRC))

# ---- the C library ---------------------------------------------------------------
# The release is linked statically against musl. The program runs once per
# request, so starting the process is most of what a request costs, and
# glibc's static start-up (CPU-feature detection, slow in a virtual machine)
# costs more than all of vistrel's own work; musl's costs next to nothing.
# The sources include only C headers and use nothing of the C++ library, so
# the C++ compiler needs no more than musl's headers and its own folder of
# compiler headers (the order musl-gcc uses): without libstdc++'s headers,
# whose configuration is glibc's, no shim is needed. gcc links with musl's
# start files and C library named one by one (release_LD, release_CLIB: see
# the hardening below), so libstdc++ is not even offered to the linker.
# `make LIBC=glibc` builds the same program against glibc instead.
LIBC       ?= musl
MUSL_LIB    = /usr/lib/x86_64-linux-musl
MUSL_SPECS  = /usr/lib/x86_64-linux-musl/musl-gcc.specs
MUSL_INC    = /usr/include/x86_64-linux-musl
GCC_INC    := $(shell $(CXX) -print-file-name=include)
MUSL_INCLUDES = -nostdinc -isystem $(MUSL_INC) -isystem $(GCC_INC)
MUSL_LD     = $(CC) $(HARDEN_LDFLAGS) -nostdlib $(MUSL_LIB)/rcrt1.o $(MUSL_LIB)/crti.o \
              $(shell $(CC) -print-file-name=crtbeginS.o)
MUSL_CLIB   = -L$(MUSL_LIB) -lc $(shell $(CC) -print-libgcc-file-name) \
              $(shell $(CC) -print-file-name=crtendS.o) $(MUSL_LIB)/crtn.o
ifeq ($(LIBC),musl)
release_CXX   = $(CXX) $(MUSL_INCLUDES)
release_LD    = $(MUSL_LD)
release_CLIB  = $(MUSL_CLIB)
release_NEEDS = musl-toolchain
else ifeq ($(LIBC),glibc)
release_CXX   = $(CXX)
release_LD    = $(CC) $(HARDEN_LDFLAGS)
else
$(error LIBC is musl (the default) or glibc)
endif

.PHONY: musl-toolchain FORCE
musl-toolchain:
	@tools/ensure-packages.sh $(MUSL_SPECS):musl-tools

# Names the C library of the last release build, so that switching LIBC
# relinks build/plugin_vistrel.
$(BUILD)/libc: FORCE
	@mkdir -p $(@D)
	@[ "$$(cat $@ 2>/dev/null)" = "$(LIBC)" ] || echo $(LIBC) > $@

# ---- hardening of the release -----------------------------------------------------
# What Debian builds its packages with: a static position-independent
# executable, so the kernel loads it at a random address; stack protection in
# the program's own functions; full RELRO with immediate binding; a stack
# that cannot execute. musl's specs know no static PIE, so the musl link names
# its start files itself: rcrt1.o relocates the program before main. That
# start-up does not make the RELRO segment read-only afterwards (musl's
# dynamic loader would; a static PIE has none), so RELRO is marked in the
# headers but its few relocated pointers stay writable at run time. musl has
# no _FORTIFY_SOURCE: there are no checked variants of its string functions
# to ask for.
HARDEN_CFLAGS  = -fPIE -fstack-protector-strong
HARDEN_LDFLAGS = -static-pie -Wl,-z,relro,-z,now,-z,noexecstack

# ---- build kinds ---------------------------------------------------------------
# Every kind compiles the same sources with the one rule below, into a folder
# of its own, with its own compiler, flags and platform file, and links its
# program (if it has one) with its own link line:
#   release  the shipped program, against $(LIBC)
#   glibc    the same against glibc, for the objects the unit tests link
#   asan     AddressSanitizer + UndefinedBehaviorSanitizer (make test-sanitize)
#   fuzz     the same, instrumented for libFuzzer (mk/fuzz.mk links the targets)
#   windows  cross-compiled with mingw-w64 (mk/windows.mk)
KINDS = release glibc asan fuzz windows
SAN   = -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1

# The release links nothing of the C++ runtime, which the check after the
# link makes sure of.
release_DIR   = $(BUILD)/release-$(LIBC)
release_FLAGS = $(CXXFLAGS) $(HARDEN_CFLAGS)
release_OS    = posix
release_BIN   = $(BIN)
release_LINK  = $(release_LD) $(CXXFLAGS)
release_LIBS  = -lm $(release_CLIB)
release_DEPS  = $(BUILD)/libc
release_CHECK = tools/check-no-cxx-runtime.sh $@ $(shell $(CXX) -print-file-name=libstdc++.a) \
                $(shell $(CC) -print-file-name=libgcc_s.so.1)

# The same program against glibc, whose documents test-blackbox compares
# with the release's.
glibc_DIR     = $(BUILD)/glibc
glibc_CXX     = $(CXX)
glibc_FLAGS   = $(CXXFLAGS)
glibc_OS      = posix
glibc_BIN     = $(glibc_DIR)/plugin_vistrel
glibc_LINK    = $(CC) -static $(CXXFLAGS)
glibc_LIBS    = -lm

# The plugin carries its sanitizer options built in (tests/support/
# sanitizer_options.cpp, see mk/tests.mk).
asan_DIR      = $(BUILD)/asan
asan_CXX      = $(CXX)
asan_FLAGS    = $(SAN)
asan_OS       = posix
asan_BIN      = $(asan_DIR)/plugin_vistrel
asan_LINK     = $(CXX) $(LANGF) $(WARN) $(SAN) -DSANITIZER_LOG_DIR='"$(ASAN_LOGS)"'
asan_DEPS     = tests/support/sanitizer_options.cpp

fuzz_DIR      = $(BUILD)/fuzz
fuzz_CXX      = $(FUZZ_CXX)
fuzz_FLAGS    = $(SAN) -fsanitize=fuzzer-no-link
fuzz_OS       = posix
fuzz_NEEDS    = fuzz-deps

# -static: libstdc++, libgcc and winpthread are linked in; the program needs
# only system DLLs (KERNEL32, msvcrt).
windows_DIR   = $(BUILD)/windows
windows_CXX   = $(WIN_CXX)
windows_FLAGS = $(CXXFLAGS)
windows_OS    = win32
windows_NEEDS = windows-toolchain
windows_BIN   = $(windows_DIR)/plugin_vistrel.exe
windows_LINK  = $(WIN_CXX) -static $(CXXFLAGS)

# $(kind)_OBJ: every object of a kind; $(kind)_LIB: all but main.o. Only the
# page depends on the generated web header, and every object on the
# changelog, whose version the flags carry; the other dependencies come from
# the compiler (-MMD). A kind with a program links it from its objects and
# $(kind)_DEPS, then runs $(kind)_CHECK on it.
define KIND_RULES
$(1)_OBJ = $$(patsubst %,$$($(1)_DIR)/obj/%.o,$$(UNITS) platform_$$($(1)_OS))
$(1)_LIB = $$(filter-out %/main.o,$$($(1)_OBJ))
$$($(1)_DIR)/obj/%.o: src/%.cpp | $$($(1)_NEEDS)
	@mkdir -p $$(@D)
	$$($(1)_CXX) $$(CPPFLAGS) $$(LANGF) $$(WARN) $$($(1)_FLAGS) -MMD -MP -c -o $$@ $$<
$$($(1)_DIR)/obj/page.o: $$(WEB_GEN)
$$($(1)_OBJ): debian/changelog
-include $$($(1)_OBJ:.o=.d)
ifneq ($$($(1)_BIN),)
$$($(1)_BIN): $$($(1)_OBJ) $$($(1)_DEPS)
	$$($(1)_LINK) -o $$@ $$(filter %.o %.cpp,$$^) $$($(1)_LIBS)
	$$($(1)_CHECK)
endif
endef
$(foreach kind,$(KINDS),$(eval $(call KIND_RULES,$(kind))))

# ---- the program ---------------------------------------------------------------
.PHONY: all install clean test format
all: $(BIN)

install: $(BIN)
	install -D -m 0755 $(BIN) $(DESTDIR)$(PREFIX)/bin/plugin_vistrel

clean:
	rm -rf $(BUILD)

# ---- checks --------------------------------------------------------------------
# Every step of `make test`, in the order it runs: cheap and decisive first.
TEST_STEPS = test-prereqs test-deps test-unit test-blackbox test-hostile test-alloc lint test-js \
             test-hosts test-browser test-fuzz test-load test-sanitize test-windows test-deb

include mk/tests.mk mk/lint.mk mk/fuzz.mk mk/dashboard.mk mk/hosts.mk mk/load.mk mk/windows.mk mk/bench.mk mk/deb.mk

test:
	@for step in $(TEST_STEPS); do \
	  echo "== make $$step"; $(MAKE) --no-print-directory $$step || exit 1; \
	done; echo "make test: all steps passed ($(TEST_STEPS))"
