# `make lint`: formatting, clang-tidy and cppcheck over the program (both
# platform files), the tools and the tests, and ESLint over the page's
# scripts; zero findings. A passing run prints only the commands.

CXX_SOURCES  = $(wildcard src/*.cpp src/*.h tools/*.cpp tests/*/*.cpp tests/*/*.h)
POSIX_SRC    = $(patsubst %,src/%.cpp,$(UNITS) platform_posix)
WIN32_SRC    = src/platform_win32.cpp
TEST_SRC     = $(wildcard tests/unit/*.cpp tests/process/*.cpp tests/fuzz/*.cpp tests/support/*.cpp)

TIDY_CHECKS  = -*,bugprone-*,-bugprone-easily-swappable-parameters,clang-analyzer-*,performance-*,\
portability-*,readability-misleading-indentation,readability-redundant-*,misc-redundant-expression
# clang-tidy reads the Windows file as mingw-w64 compiles it.
WIN32_TIDY   = --target=x86_64-w64-mingw32 -isystem /usr/x86_64-w64-mingw32/include
CPPCHECK     = cppcheck --quiet --error-exitcode=1 --enable=warning,performance,portability --std=c++17 \
               --inline-suppr --suppress=missingIncludeSystem $(CPPFLAGS)
ESLINT       = node_modules/.bin/eslint

# Runs a command and shows its output only when it fails: clang-tidy reports
# every warning it suppressed in system headers on a line of its own.
QUIET = run() { out=$$("$$@" 2>&1) || { printf '%s\n' "$$out"; exit 1; }; }; run

.PHONY: lint format node-deps
lint: $(WEB_GEN) node-deps | windows-toolchain
	clang-format --dry-run --Werror $(CXX_SOURCES)
	@$(QUIET) clang-tidy --quiet --warnings-as-errors='*' --checks='$(TIDY_CHECKS)' $(POSIX_SRC) -- $(CPPFLAGS) $(LANGF)
	@echo "clang-tidy: $(POSIX_SRC)"
	@$(QUIET) clang-tidy --quiet --warnings-as-errors='*' --checks='$(TIDY_CHECKS)' $(WIN32_SRC) -- \
	  $(CPPFLAGS) $(LANGF) $(WIN32_TIDY)
	@echo "clang-tidy (mingw-w64): $(WIN32_SRC)"
	@$(QUIET) clang-tidy --quiet --warnings-as-errors='*' --checks='$(TIDY_CHECKS)' $(TEST_SRC) -- \
	  $(CPPFLAGS) $(CXXSTD) -Itests/support -Itests/unit -Itests/fuzz -DSANITIZER_LOG_DIR='"logs"'
	@echo "clang-tidy: $(TEST_SRC)"
	$(CPPCHECK) $(POSIX_SRC)
	$(CPPCHECK) --platform=win64 -D_WIN32 $(WIN32_SRC)
	$(CPPCHECK) --library=googletest -Itests/support -Itests/unit -Itests/fuzz $(TEST_SRC)
	$(ESLINT) --max-warnings=0 web/

format:
	clang-format -i $(CXX_SOURCES)

# The npm packages of package-lock.json (ESLint, playwright-core).
node-deps:
	@[ -x $(ESLINT) ] && [ -d node_modules/playwright-core ] || npm ci --no-audit --no-fund
