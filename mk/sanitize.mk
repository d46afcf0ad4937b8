# AddressSanitizer + UndefinedBehaviorSanitizer build of the plugin and of the
# unit tests (build/asan/), and `make test-sanitize`, which runs the unit,
# black-box and hostile-input suites against it.
#
# The plugin carries its sanitizer options built in
# (tests/support/sanitizer_options.cpp): any report goes to build/asan/logs/
# and ends the process with status 86/87/88.
# The step fails when a suite fails or when that folder holds any report.

ASAN_DIR   = $(BUILD)/asan
ASAN_LOGS  = $(CURDIR)/$(ASAN_DIR)/logs
ASAN_FLAGS = -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g -O1
ASAN_OBJ   = $(SRC:src/%.cpp=$(ASAN_DIR)/obj/%.o)
ASAN_TOBJ  = $(SRC:src/%.cpp=$(ASAN_DIR)/test/%.o)

# Options for the test binaries themselves (they inherit the shell's
# environment, unlike the plugin processes they start).
ASAN_RUN_ENV = ASAN_OPTIONS=exitcode=86:detect_leaks=1:strict_string_checks=1 \
               UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=87

.PHONY: asan test-sanitize
asan: $(ASAN_DIR)/plugin_vistrel $(if $(wildcard tests/unit/unit_test.cpp),$(ASAN_DIR)/unit_tests)

$(ASAN_DIR)/obj/%.o: src/%.cpp $(wildcard src/*.h) $(WEB_GEN)
	@mkdir -p $(@D)
	$(CXX) $(CPPFLAGS) $(LANGF) $(WARN) $(ASAN_FLAGS) -c -o $@ $<

$(ASAN_DIR)/test/%.o: src/%.cpp $(wildcard src/*.h) $(WEB_GEN)
	@mkdir -p $(@D)
	$(CXX) $(CPPFLAGS) $(LANGF) $(WARN) $(ASAN_FLAGS) -Dmain=plugin_main -c -o $@ $<

$(ASAN_DIR)/sanitizer_options.o: tests/support/sanitizer_options.cpp
	@mkdir -p $(@D)
	$(CXX) -std=c++17 -Wall -Wextra -Werror -O1 -DSANITIZER_LOG_DIR='"$(ASAN_LOGS)"' -c -o $@ $<

$(ASAN_DIR)/plugin_vistrel: $(ASAN_OBJ) $(ASAN_DIR)/sanitizer_options.o
	$(CXX) $(ASAN_FLAGS) -o $@ $^

$(ASAN_DIR)/unit_tests: tests/unit/unit_test.cpp tests/unit/capture.h $(TEST_SUPPORT) $(ASAN_TOBJ)
	$(CXX) $(CPPFLAGS) -std=c++17 $(ASAN_FLAGS) -Wall -Wextra -Werror -Itests/support -Itests/unit -o $@ tests/unit/unit_test.cpp $(ASAN_TOBJ) $(GTEST_LIBS)

# Each suite runs even when an earlier one failed, so one run shows every
# finding; the step fails at the end if any did.
test-sanitize: $(ASAN_DIR)/plugin_vistrel $(BUILD)/hostile_tests \
               $(if $(wildcard tests/unit/unit_test.cpp),$(ASAN_DIR)/unit_tests) \
               $(if $(wildcard tests/process/blackbox_test.cpp),$(BUILD)/blackbox_tests)
	@rm -rf $(ASAN_LOGS) && mkdir -p $(ASAN_LOGS)
	@fail=0; \
	if [ -x $(ASAN_DIR)/unit_tests ] && [ -f tests/unit/unit_test.cpp ]; then \
	  echo "== unit tests (ASan+UBSan)"; $(ASAN_RUN_ENV) VISTREL_TESTS=$(CURDIR)/tests $(ASAN_DIR)/unit_tests || fail=1; \
	else echo "== unit tests (ASan+UBSan): NOT RUN, tests/unit/unit_test.cpp is missing"; fi; \
	if [ -f tests/process/blackbox_test.cpp ]; then \
	  echo "== black-box tests against $(ASAN_DIR)/plugin_vistrel"; \
	  VISTREL_BIN=$(CURDIR)/$(ASAN_DIR)/plugin_vistrel VISTREL_TESTS=$(CURDIR)/tests $(BUILD)/blackbox_tests || fail=1; \
	else echo "== black-box tests: NOT RUN, tests/process/blackbox_test.cpp is missing"; fi; \
	echo "== hostile-input tests against $(ASAN_DIR)/plugin_vistrel"; \
	VISTREL_BIN=$(CURDIR)/$(ASAN_DIR)/plugin_vistrel VISTREL_TESTS=$(CURDIR)/tests $(BUILD)/hostile_tests || fail=1; \
	if [ -n "$$(ls -A $(ASAN_LOGS))" ]; then \
	  echo "sanitizer reports from the plugin in $(ASAN_LOGS):"; \
	  for f in $(ASAN_LOGS)/*; do echo "--- $$f"; cat "$$f"; done; fail=1; \
	fi; \
	if [ $$fail -ne 0 ]; then echo "test-sanitize: FAILED"; exit 1; fi; \
	echo "test-sanitize: no sanitizer report, all suites passed"

TEST_STEPS += test-sanitize
