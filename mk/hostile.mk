# Hostile requests and faults through the real binary: `make test-hostile`
# runs them against the release build; test-sanitize runs them against the
# sanitizer build.

$(BUILD)/hostile_tests: tests/process/hostile_test.cpp $(TEST_SUPPORT)
	@mkdir -p $(@D)
	$(CXX) -std=c++17 -O1 -g -Wall -Wextra -Werror -Itests/support -o $@ tests/process/hostile_test.cpp $(GTEST_LIBS)

.PHONY: test-hostile
test-hostile: $(BUILD)/hostile_tests $(BIN)
	VISTREL_BIN=$(CURDIR)/$(BIN) VISTREL_TESTS=$(CURDIR)/tests $(BUILD)/hostile_tests

TEST_STEPS += test-hostile
