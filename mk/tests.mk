# The GoogleTest suites: unit tests over the real objects, black-box and
# hostile-input tests that run the binary as a CGI process, the allocation
# counter, and the same suites against the sanitizer build.

GTEST_LIBS   = -lgtest -lgtest_main -pthread
TEST_FLAGS   = $(LANGF) $(WARN) -O1 -g $(CPPFLAGS) -Itests/support
TEST_SUPPORT = $(wildcard tests/support/*.h)
TEST_ENV     = VISTREL_TESTS=$(CURDIR)/tests

# A test program from its sources and objects (extra flags in $(1)).
define LINK_TEST
	@mkdir -p $(@D)
	$(CXX) $(TEST_FLAGS) $(1) -o $@ $(filter %.cpp %.o,$^) $(GTEST_LIBS)
endef

.PHONY: test-deps test-unit test-blackbox test-hostile test-alloc test-sanitize asan

# What the C++ suites and the lint need, installed when missing.
test-deps:
	@tools/ensure-packages.sh g++:g++ make:make /usr/include/gtest/gtest.h:libgtest-dev \
	  clang-tidy:clang-tidy clang-format:clang-format cppcheck:cppcheck

# The unit tests link the glibc objects: GoogleTest and its C++ library are
# built for glibc.
$(BUILD)/tests/unit_tests: tests/unit/unit_test.cpp $(wildcard tests/unit/*.h) $(TEST_SUPPORT) $(glibc_LIB)
	$(call LINK_TEST,-Itests/unit)

$(BUILD)/tests/%_tests: tests/process/%_test.cpp $(TEST_SUPPORT)
	$(call LINK_TEST)

# The black-box suite also holds the endings under cgroups and seccomp and
# the made-up PCI buses' cases, and runs the program through the launcher
# beside it that takes close_range away.
$(BUILD)/tests/blackbox_tests: tests/process/endings_test.cpp tests/process/pci_bus_test.cpp \
  $(BUILD)/tests/without_close_range

$(BUILD)/tests/without_close_range: tests/support/without_close_range.cpp
	@mkdir -p $(@D)
	$(CXX) $(TEST_FLAGS) -o $@ $<

test-unit: $(BUILD)/tests/unit_tests
	$(TEST_ENV) $<

# VISTREL_BIN picks the binary under test (test-sanitize runs the same suites
# against the sanitizer build); VISTREL_GLIBC_BIN is the glibc build whose
# documents the black-box suite compares with it.
test-blackbox: $(BUILD)/tests/blackbox_tests $(BIN) $(glibc_BIN)
	VISTREL_BIN=$(CURDIR)/$(BIN) VISTREL_GLIBC_BIN=$(CURDIR)/$(glibc_BIN) $(TEST_ENV) $<

test-hostile: $(BUILD)/tests/hostile_tests $(BIN)
	VISTREL_BIN=$(CURDIR)/$(BIN) $(TEST_ENV) $<

# ---- no heap ---------------------------------------------------------------------
# The release objects linked with a counting shim (through -Wl,--wrap) into
# build/alloc/plugin_vistrel, against the release's C library, compiled and
# linked as the release is; every kind of request must make no allocation
# after main starts. musl also calls its allocator by internal names.
ALLOC_DIR  = $(BUILD)/alloc
ALLOC_WRAP = -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=aligned_alloc,--wrap=memalign \
             -Wl,--wrap=posix_memalign,--wrap=__libc_malloc,--wrap=__libc_calloc,--wrap=__libc_realloc \
             -Wl,--wrap=main

$(ALLOC_DIR)/count_alloc-$(LIBC).o: tests/process/count_alloc.cpp | $(release_NEEDS)
	@mkdir -p $(@D)
	$(release_CXX) $(LANGF) $(WARN) -O1 -c -o $@ $<

$(ALLOC_DIR)/plugin_vistrel: $(release_OBJ) $(ALLOC_DIR)/count_alloc-$(LIBC).o $(BUILD)/libc
	$(release_LD) -O1 $(ALLOC_WRAP) -o $@ $(filter %.o,$^) $(release_LIBS)

test-alloc: $(ALLOC_DIR)/plugin_vistrel $(BUILD)/tests/alloc_tests
	VISTREL_ALLOC_BIN=$(CURDIR)/$< $(TEST_ENV) $(BUILD)/tests/alloc_tests

# ---- sanitizers --------------------------------------------------------------------
# The plugin carries its sanitizer options built in (tests/support/
# sanitizer_options.cpp): any report goes to build/asan/logs/ and ends the
# process with status 86/87/88. The step fails when a suite fails or when that
# folder holds any report.
ASAN_LOGS    = $(CURDIR)/$(asan_DIR)/logs
ASAN_RUN_ENV = ASAN_OPTIONS=exitcode=86:detect_leaks=1:strict_string_checks=1 \
               UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=87

asan: $(asan_DIR)/plugin_vistrel $(asan_DIR)/unit_tests

$(asan_DIR)/unit_tests: tests/unit/unit_test.cpp $(wildcard tests/unit/*.h) $(TEST_SUPPORT) $(asan_LIB)
	$(call LINK_TEST,$(SAN) -Itests/unit)

# Each suite runs even when an earlier one failed, so one run shows every
# finding; the step fails at the end if any did.
test-sanitize: asan $(BUILD)/tests/blackbox_tests $(BUILD)/tests/hostile_tests $(glibc_BIN)
	@rm -rf $(ASAN_LOGS) && mkdir -p $(ASAN_LOGS)
	@fail=0; \
	echo "== unit tests (ASan+UBSan)"; $(ASAN_RUN_ENV) $(TEST_ENV) $(asan_DIR)/unit_tests || fail=1; \
	for suite in blackbox hostile; do \
	  echo "== $$suite tests against $(asan_DIR)/plugin_vistrel"; \
	  VISTREL_BIN=$(CURDIR)/$(asan_DIR)/plugin_vistrel VISTREL_GLIBC_BIN=$(CURDIR)/$(glibc_BIN) $(TEST_ENV) \
	    $(BUILD)/tests/$${suite}_tests || fail=1; \
	done; \
	if [ -n "$$(ls -A $(ASAN_LOGS))" ]; then \
	  echo "sanitizer reports from the plugin in $(ASAN_LOGS):"; \
	  for f in $(ASAN_LOGS)/*; do echo "--- $$f"; cat "$$f"; done; fail=1; \
	fi; \
	if [ $$fail -ne 0 ]; then echo "test-sanitize: FAILED"; exit 1; fi; \
	echo "test-sanitize: no sanitizer report, all suites passed"
