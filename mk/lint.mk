# `make lint`: formatting, clang-tidy and cppcheck over the program (both
# platform files), the tools and the tests, and ESLint over the page's
# scripts; zero findings. Each long check prints a line when it starts and
# one with what it found when it ends.
#
# The same checks run on every Debian release the project supports: each
# tool gets an explicit list, never a glob that a newer release widens, so a
# tree that passes on one release passes on the other. One layout the
# formatters disagree on is kept out of the code: a braced initialiser after
# an elaborated type (`struct stat st {};` against `st{};`) is written with
# `= {}`, which every clang-format lays out alike.

CXX_SOURCES  = $(wildcard src/*.cpp src/*.h tools/*.cpp tests/*/*.cpp tests/*/*.h)
POSIX_SRC    = $(patsubst %,src/%.cpp,$(UNITS) platform_posix)
WIN32_SRC    = src/platform_win32.cpp
TEST_SRC     = $(wildcard tests/unit/*.cpp tests/process/*.cpp tests/fuzz/*.cpp tests/support/*.cpp)
# What the test build defines and searches (mk/tests.mk, mk/fuzz.mk).
TEST_LINTF   = -Itests/support -Itests/unit -Itests/fuzz -DSANITIZER_LOG_DIR='"logs"'

# ---- clang-tidy's checks, by name ----------------------------------------------
# Every bugprone, performance and portability check both releases' clang-tidy
# know (less bugprone-easily-swappable-parameters), the redundancy checks, and
# the static analyzer's checkers for C, C++ and POSIX. Left out: the
# analyzer's Objective-C, macOS, WebKit, Fuchsia, MPI and LLVM-API checkers,
# which nothing here can trigger. A check that only a newer clang-tidy has
# joins the list when every supported release has it; clang-tidy ignores a
# name it does not know, which is how the one renamed checker below is
# given under both its names. The analyzer's core checkers come with any of
# its checkers, so a newer release runs its new core ones too.
TIDY_BUGPRONE = argument-comment assert-side-effect bad-signal-to-kill-thread bool-pointer-implicit-conversion \
  branch-clone copy-constructor-init dangling-handle dynamic-static-initializers exception-escape \
  fold-init-type forward-declaration-namespace forwarding-reference-overload \
  implicit-widening-of-multiplication-result inaccurate-erase incorrect-roundings infinite-loop \
  integer-division lambda-function-name macro-parentheses macro-repeated-side-effects \
  misplaced-operator-in-strlen-in-alloc misplaced-pointer-arithmetic-in-alloc misplaced-widening-cast \
  move-forwarding-reference multiple-statement-macro narrowing-conversions no-escape \
  not-null-terminated-result parent-virtual-call posix-return redundant-branch-condition \
  reserved-identifier signal-handler signed-char-misuse sizeof-container sizeof-expression \
  spuriously-wake-up-functions string-constructor string-integer-assignment \
  string-literal-with-embedded-nul stringview-nullptr suspicious-enum-usage suspicious-include \
  suspicious-memory-comparison suspicious-memset-usage suspicious-missing-comma suspicious-semicolon \
  suspicious-string-compare swapped-arguments terminating-continue throw-keyword-missing \
  too-small-loop-variable undefined-memory-manipulation undelegated-constructor \
  unhandled-exception-at-new unhandled-self-assignment unused-raii unused-return-value use-after-move \
  virtual-near-miss
TIDY_PERFORMANCE = faster-string-find for-range-copy implicit-conversion-in-loop inefficient-algorithm \
  inefficient-string-concatenation inefficient-vector-operation move-const-arg move-constructor-init \
  no-automatic-move no-int-to-ptr noexcept-move-constructor trivially-destructible \
  type-promotion-in-math-fn unnecessary-copy-initialization unnecessary-value-param
TIDY_PORTABILITY = restrict-system-includes simd-intrinsics
TIDY_READABILITY = misleading-indentation redundant-access-specifiers redundant-control-flow \
  redundant-declaration redundant-function-ptr-dereference redundant-member-init redundant-preprocessor \
  redundant-smartptr-get redundant-string-cstr redundant-string-init
TIDY_MISC = redundant-expression
# The C library model is apiModeling.StdCLibraryFunctions in older releases
# and unix.StdCLibraryFunctions in newer ones.
TIDY_ANALYZER = apiModeling.StdCLibraryFunctions unix.StdCLibraryFunctions apiModeling.TrustNonnull \
  apiModeling.google.GTest \
  core.CallAndMessage core.CallAndMessageModeling core.DivideZero core.DynamicTypePropagation \
  core.NonNullParamChecker core.NullDereference core.StackAddrEscapeBase core.StackAddressEscape \
  core.UndefinedBinaryOperatorResult core.VLASize core.builtin.BuiltinFunctions \
  core.builtin.NoReturnFunctions core.uninitialized.ArraySubscript core.uninitialized.Assign \
  core.uninitialized.Branch core.uninitialized.UndefReturn \
  cplusplus.InnerPointer cplusplus.Move cplusplus.NewDelete cplusplus.NewDeleteLeaks cplusplus.PlacementNew \
  cplusplus.PureVirtualCall cplusplus.SelfAssignment cplusplus.SmartPtrModeling cplusplus.StringChecker \
  cplusplus.VirtualCallModeling deadcode.DeadStores \
  optin.cplusplus.UninitializedObject optin.cplusplus.VirtualCall optin.performance.Padding \
  optin.portability.UnixAPI \
  security.FloatLoopCounter security.insecureAPI.DeprecatedOrUnsafeBufferHandling \
  security.insecureAPI.SecuritySyntaxChecker security.insecureAPI.UncheckedReturn security.insecureAPI.bcmp \
  security.insecureAPI.bcopy security.insecureAPI.bzero security.insecureAPI.getpw security.insecureAPI.gets \
  security.insecureAPI.mkstemp security.insecureAPI.mktemp security.insecureAPI.rand \
  security.insecureAPI.strcpy security.insecureAPI.vfork \
  unix.API unix.DynamicMemoryModeling unix.Malloc unix.MallocSizeof unix.MismatchedDeallocator unix.Vfork \
  unix.cstring.BadSizeArg unix.cstring.CStringModeling unix.cstring.NullArg \
  valist.CopyToSelf valist.Uninitialized valist.Unterminated valist.ValistBase

comma := ,
empty :=
space := $(empty) $(empty)
TIDY_CHECKS = -*,$(subst $(space),$(comma),$(strip $(addprefix bugprone-,$(TIDY_BUGPRONE)) \
  $(addprefix performance-,$(TIDY_PERFORMANCE)) $(addprefix portability-,$(TIDY_PORTABILITY)) \
  $(addprefix readability-,$(TIDY_READABILITY)) $(addprefix misc-,$(TIDY_MISC)) \
  $(addprefix clang-analyzer-,$(TIDY_ANALYZER))))
TIDY         = clang-tidy --quiet --warnings-as-errors='*' --checks='$(TIDY_CHECKS)'
# clang-tidy reads the Windows file as mingw-w64 compiles it.
WIN32_TIDY   = --target=x86_64-w64-mingw32 -isystem /usr/x86_64-w64-mingw32/include

# ---- cppcheck --------------------------------------------------------------------
# Newer cppchecks stop following a function's branches past a count at their
# default check level and say so in an information message
# (normalCheckLevelMaxBranches), which --error-exitcode turns into a failure.
# It is a note on the depth of the analysis, not a finding: it is suppressed,
# and every release runs at its default level (older ones have no
# --check-level option to raise it). cppcheck takes the include folders of
# CPPFLAGS alone: given a -D, it checks that one configuration and no other,
# where it otherwise checks each of the sources' _WIN32 branches as well.
CPPCHECK     = cppcheck --quiet --error-exitcode=1 --enable=warning,performance,portability --std=c++17 \
               --inline-suppr --suppress=missingIncludeSystem --suppress=normalCheckLevelMaxBranches \
               $(filter -I%,$(CPPFLAGS))
ESLINT       = node_modules/.bin/eslint

# Runs a long check: a line when it starts, and one when it ends with what it
# found and how long it took. Its output is shown only when it fails:
# clang-tidy reports every warning it suppressed in system headers on a line
# of its own.
#   $(LONG_CHECK) WHAT COMMAND...
LONG_CHECK = check() { \
  what=$$1; shift; echo "$$what: started"; start=$$(date +%s); \
  out=$$("$$@" 2>&1) && { echo "$$what: no findings ($$(($$(date +%s) - start)) s)"; return 0; }; \
  status=$$?; printf '%s\n' "$$out"; \
  found=$$(printf '%s\n' "$$out" | grep -cE '^[^ ]+:[0-9]+:[0-9]+: (error|warning|style|performance|portability|information):'); \
  echo "$$what: FAILED (findings: $$found, exit status $$status, $$(($$(date +%s) - start)) s)"; return 1; \
}; check

.PHONY: lint format node-deps
lint: $(WEB_GEN) node-deps | test-deps windows-toolchain
	clang-format --dry-run --Werror $(CXX_SOURCES)
	@$(LONG_CHECK) "clang-tidy $(POSIX_SRC)" $(TIDY) $(POSIX_SRC) -- $(CPPFLAGS) $(LANGF)
	@$(LONG_CHECK) "clang-tidy (mingw-w64) $(WIN32_SRC)" $(TIDY) $(WIN32_SRC) -- $(CPPFLAGS) $(LANGF) $(WIN32_TIDY)
	@for f in $(TEST_SRC); do \
	  $(LONG_CHECK) "clang-tidy $$f" $(TIDY) "$$f" -- $(CPPFLAGS) $(CXXSTD) $(TEST_LINTF) || exit 1; \
	done
	@$(LONG_CHECK) "cppcheck $(POSIX_SRC)" $(CPPCHECK) $(POSIX_SRC)
	@$(LONG_CHECK) "cppcheck (win64) $(WIN32_SRC)" $(CPPCHECK) --platform=win64 -D_WIN32 $(WIN32_SRC)
	@$(LONG_CHECK) "cppcheck $(TEST_SRC)" $(CPPCHECK) --library=googletest $(TEST_LINTF) $(TEST_SRC)
	$(ESLINT) --max-warnings=0 web/

format:
	clang-format -i $(CXX_SOURCES)

# The npm packages of package-lock.json (ESLint, puppeteer-core).
node-deps:
	@[ -x $(ESLINT) ] && [ -d node_modules/puppeteer-core ] || npm ci --no-audit --no-fund
