# vistrel: `make` builds build/plugin_vistrel; `make test` runs every check,
# in the order of TEST_STEPS below.

CXX      ?= g++
CXXFLAGS ?= -O2
PREFIX   ?= /usr/local

# One set of language and warning flags for every build of the program.
LANGF    = -std=c++17 -fno-exceptions -fno-rtti
WARN     = -Wall -Wextra -Werror -Wshadow -Wconversion -Wno-sign-conversion
CPPFLAGS = -Isrc -I$(BUILD)/gen

BUILD = build
.DEFAULT_GOAL := all
BIN   = $(BUILD)/plugin_vistrel

# The program's units; the build adds the platform file of its system. main.o
# holds nothing but main, so every test links the other objects as they are.
UNITS = main plugin_vistrel json collect page platform_common

# ---- the page ------------------------------------------------------------------
# The page's files, in the order page.cpp writes them; body.html is written on
# one line (--join drops its line breaks).
WEB_FILES = WEB_HEAD_HTML=web/head.html WEB_THEME_BOOT_JS=web/theme-boot.js \
            WEB_BASE_CSS=web/base.css WEB_DASHBOARD_CSS=web/dashboard.css \
            WEB_THEME_LISTEN_JS=web/theme-listen.js --join WEB_BODY_HTML=web/body.html \
            WEB_NOTE_HTML=web/note.html WEB_APP_JS=web/app.js
WEB_SRC   = $(patsubst %,web/%,$(notdir $(filter %.html %.css %.js,$(WEB_FILES))))
WEB_GEN   = $(BUILD)/gen/web_assets.h

$(BUILD)/embed: tools/embed.cpp
	@mkdir -p $(@D)
	$(CXX) -std=c++17 -O1 -Wall -Wextra -Werror -o $@ $<

$(WEB_GEN): $(BUILD)/embed $(WEB_SRC)
	@mkdir -p $(@D)
	$(BUILD)/embed $@ $(WEB_FILES)

# ---- build kinds ---------------------------------------------------------------
# Every kind compiles the same sources with the one rule below, into a folder
# of its own, with its own compiler, flags and platform file.
#   release  the shipped program, and the objects the unit tests link
#   asan     AddressSanitizer + UndefinedBehaviorSanitizer (make test-sanitize)
#   fuzz     the same, instrumented for libFuzzer (mk/fuzz.mk)
#   windows  cross-compiled with mingw-w64 (mk/windows.mk)
KINDS = release asan fuzz windows
SAN   = -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1

release_DIR   = $(BUILD)/release
release_CXX   = $(CXX)
release_FLAGS = $(CXXFLAGS)
release_OS    = posix

asan_DIR      = $(BUILD)/asan
asan_CXX      = $(CXX)
asan_FLAGS    = $(SAN)
asan_OS       = posix

fuzz_DIR      = $(BUILD)/fuzz
fuzz_CXX      = $(FUZZ_CXX)
fuzz_FLAGS    = $(SAN) -fsanitize=fuzzer-no-link
fuzz_OS       = posix
fuzz_NEEDS    = fuzz-deps

windows_DIR   = $(BUILD)/windows
windows_CXX   = $(WIN_CXX)
windows_FLAGS = $(CXXFLAGS)
windows_OS    = win32
windows_NEEDS = windows-toolchain

# $(kind)_OBJ: every object of a kind; $(kind)_LIB: all but main.o. Only the
# page depends on the generated web header; the other dependencies come from
# the compiler (-MMD).
define KIND_RULES
$(1)_OBJ = $$(patsubst %,$$($(1)_DIR)/obj/%.o,$$(UNITS) platform_$$($(1)_OS))
$(1)_LIB = $$(filter-out %/main.o,$$($(1)_OBJ))
$$($(1)_DIR)/obj/%.o: src/%.cpp | $$($(1)_NEEDS)
	@mkdir -p $$(@D)
	$$($(1)_CXX) $$(CPPFLAGS) $$(LANGF) $$(WARN) $$($(1)_FLAGS) -MMD -MP -c -o $$@ $$<
$$($(1)_DIR)/obj/page.o: $$(WEB_GEN)
-include $$($(1)_OBJ:.o=.d)
endef
$(foreach kind,$(KINDS),$(eval $(call KIND_RULES,$(kind))))

# ---- the program ---------------------------------------------------------------
.PHONY: all install clean test format
all: $(BIN)

$(BIN): $(release_OBJ)
	$(CXX) -static $(CXXFLAGS) -o $@ $^

install: $(BIN)
	install -D -m 0755 $(BIN) $(DESTDIR)$(PREFIX)/bin/plugin_vistrel

clean:
	rm -rf $(BUILD)

# ---- checks --------------------------------------------------------------------
# Every step of `make test`, in the order it runs: cheap and decisive first.
TEST_STEPS = test-prereqs test-deps test-unit test-blackbox test-hostile test-alloc lint test-js \
             test-hosts test-browser test-fuzz test-load test-sanitize test-windows

include mk/tests.mk mk/lint.mk mk/fuzz.mk mk/dashboard.mk mk/hosts.mk mk/load.mk mk/windows.mk mk/bench.mk

test:
	@for step in $(TEST_STEPS); do \
	  echo "== make $$step"; $(MAKE) --no-print-directory $$step || exit 1; \
	done; echo "make test: all steps passed ($(TEST_STEPS))"
