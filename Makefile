# vistrel: `make` builds build/plugin_vistrel; `make test` runs every check.
# Fragments in mk/ add their own targets and append to TEST_STEPS.

CXX      ?= g++
CXXFLAGS ?= -O2
WARN      = -Wall -Wextra -Werror -Wshadow -Wconversion -Wno-sign-conversion
LANGF     = -std=c++17 -fno-exceptions -fno-rtti
CPPFLAGS  = -Isrc -Ibuild/gen
LDSTATIC  = -static
PREFIX   ?= /usr/local

BUILD = build
SRC   = src/plugin_vistrel.cpp src/json.cpp src/collect.cpp src/page.cpp src/platform.cpp
OBJ   = $(SRC:src/%.cpp=$(BUILD)/obj/%.o)
BIN   = $(BUILD)/plugin_vistrel

# The page, in the order page.cpp writes it.
WEB_FILES = WEB_HEAD_HTML=web/head.html WEB_THEME_BOOT_JS=web/theme-boot.js \
            WEB_BASE_CSS=web/base.css WEB_DASHBOARD_CSS=web/dashboard.css \
            WEB_THEME_LISTEN_JS=web/theme-listen.js WEB_BODY_HTML=web/body.html \
            WEB_NOTE_HTML=web/note.html WEB_APP_JS=web/app.js
WEB_SRC   = $(foreach f,$(WEB_FILES),$(word 2,$(subst =, ,$(f))))
WEB_GEN   = $(BUILD)/gen/web_assets.h

TEST_STEPS = test-deps test-unit test-blackbox lint

.PHONY: all test install clean lint format test-deps test-unit test-blackbox
all: $(BIN)

$(BUILD)/embed: tools/embed.cpp
	@mkdir -p $(@D)
	$(CXX) -std=c++17 -O1 -Wall -Wextra -Werror -o $@ $<

$(WEB_GEN): $(BUILD)/embed $(WEB_SRC)
	@mkdir -p $(@D)
	$(BUILD)/embed $@ $(WEB_FILES)

$(BUILD)/obj/%.o: src/%.cpp $(wildcard src/*.h) $(WEB_GEN)
	@mkdir -p $(@D)
	$(CXX) $(CPPFLAGS) $(LANGF) $(WARN) $(CXXFLAGS) -c -o $@ $<

$(BIN): $(OBJ)
	$(CXX) $(LDSTATIC) $(CXXFLAGS) -o $@ $^

install: $(BIN)
	install -D -m 0755 $(BIN) $(DESTDIR)$(PREFIX)/bin/plugin_vistrel

clean:
	rm -rf $(BUILD)

# ---- tests -----------------------------------------------------------------
# The unit tests link the real units; main() is renamed so GoogleTest's own
# main can run them.
GTEST_LIBS = -lgtest -lgtest_main -pthread
TEST_OBJ   = $(SRC:src/%.cpp=$(BUILD)/test/%.o)

$(BUILD)/test/%.o: src/%.cpp $(wildcard src/*.h) $(WEB_GEN)
	@mkdir -p $(@D)
	$(CXX) $(CPPFLAGS) $(LANGF) $(WARN) -O1 -g -Dmain=plugin_main -c -o $@ $<

TEST_SUPPORT = $(wildcard tests/support/*.h)

$(BUILD)/unit_tests: tests/unit/unit_test.cpp tests/unit/capture.h $(TEST_SUPPORT) $(TEST_OBJ)
	$(CXX) $(CPPFLAGS) -std=c++17 -O1 -g -Wall -Wextra -Werror -Itests/support -Itests/unit -o $@ tests/unit/unit_test.cpp $(TEST_OBJ) $(GTEST_LIBS)

$(BUILD)/blackbox_tests: tests/process/blackbox_test.cpp $(TEST_SUPPORT)
	$(CXX) -std=c++17 -O1 -g -Wall -Wextra -Werror -Itests/support -o $@ tests/process/blackbox_test.cpp $(GTEST_LIBS)

# What the C++ tests and the lint need, installed when missing.
test-deps:
	@tools/ensure-packages.sh g++:g++ make:make /usr/include/gtest/gtest.h:libgtest-dev \
	  clang-tidy:clang-tidy clang-format:clang-format cppcheck:cppcheck

test-unit: $(BUILD)/unit_tests
	VISTREL_TESTS=$(CURDIR)/tests $(BUILD)/unit_tests

# VISTREL_BIN picks the binary under test (the sanitizer build uses it too).
test-blackbox: $(BUILD)/blackbox_tests $(BIN)
	VISTREL_BIN=$${VISTREL_BIN:-$(BIN)} VISTREL_TESTS=$(CURDIR)/tests $(BUILD)/blackbox_tests

-include mk/*.mk

test: $(TEST_STEPS)
	@echo "make test: all steps passed ($(TEST_STEPS))"

# ---- habits ----------------------------------------------------------------
TIDY_CHECKS = -*,bugprone-*,-bugprone-easily-swappable-parameters,clang-analyzer-*,performance-*,\
portability-*,readability-misleading-indentation,readability-redundant-*,misc-redundant-expression

# Every C++ file of the tests (the browser tests hold none).
TEST_CXX = $(wildcard tests/*/*.cpp tests/*/*.h)

lint: $(WEB_GEN)
	clang-format --dry-run --Werror src/*.cpp src/*.h tools/*.cpp $(TEST_CXX)
	clang-tidy --quiet --warnings-as-errors='*' --checks='$(TIDY_CHECKS)' $(SRC) -- $(CPPFLAGS) $(LANGF)
	cppcheck --quiet --error-exitcode=1 --enable=warning,performance,portability --std=c++17 \
	  --inline-suppr -Isrc -I$(BUILD)/gen --suppress=missingIncludeSystem $(SRC)

format:
	clang-format -i src/*.cpp src/*.h tools/*.cpp $(TEST_CXX)
