# libFuzzer targets (tests/fuzz/) over the real units, built with clang and
# AddressSanitizer + UndefinedBehaviorSanitizer (the fuzz build kind):
#   make test-fuzz                       every target for FUZZ_SHORT seconds (part of make test)
#   make fuzz-long FUZZ_SECONDS=300      every target for FUZZ_SECONDS seconds
#   make fuzz-run FUZZ_TARGET=fuzz_csv FUZZ_SECONDS=60
# Seeds are in tests/fuzz/corpus/<target>/ (read only); what a run learns goes
# to build/fuzz/corpus/<target>/ and is reused by later runs. A failing input
# is saved as build/fuzz/crash-*; replay it with build/fuzz/<target> FILE.
# Each run's figures (executions, cov:, ft:) are in build/fuzz/<target>.log,
# summed up in build/fuzz/summary.txt.

# The release's default clang (Debian's clang package, whatever its version).
FUZZ_CXX     ?= clang++
FUZZ_TARGETS  = fuzz_query fuzz_auth fuzz_json fuzz_lines fuzz_csv
FUZZ_SHORT   ?= 5
FUZZ_SECONDS ?= 300
FUZZ_MAX_LEN ?= 4096
FUZZ_FLAGS    = $(LANGF) $(WARN) $(SAN) $(CPPFLAGS) -Itests/fuzz -Itests/support

.PHONY: fuzz fuzz-deps test-fuzz fuzz-long fuzz-run
fuzz: $(FUZZ_TARGETS:%=$(fuzz_DIR)/%)

# clang and its libFuzzer runtime, installed when missing (order-only, so this
# never forces a rebuild). The runtime's path is the one clang itself would
# link (its folders and file name change between versions); libclang-rt-dev
# is the runtime of the default clang.
fuzz-deps:
	@tools/ensure-packages.sh $(FUZZ_CXX):clang
	@tools/ensure-packages.sh "$$($(FUZZ_CXX) -fsanitize=fuzzer -### -x c++ /dev/null 2>&1 | \
	  grep -o '[^" ]*libclang_rt\.fuzzer[^" ]*\.a' | head -n 1):libclang-rt-dev"

# The checks and models: sanitized, but not coverage-instrumented.
$(fuzz_DIR)/fuzz_support.o: tests/fuzz/fuzz_support.cpp tests/fuzz/fuzz_common.h $(TEST_SUPPORT) | fuzz-deps
	@mkdir -p $(@D)
	$(FUZZ_CXX) $(FUZZ_FLAGS) -c -o $@ $<

$(fuzz_DIR)/%: tests/fuzz/%.cpp tests/fuzz/fuzz_common.h $(fuzz_DIR)/fuzz_support.o $(fuzz_LIB)
	$(FUZZ_CXX) $(FUZZ_FLAGS) -fsanitize=fuzzer -o $@ $(filter %.cpp %.o,$^)

test-fuzz: fuzz
	@rm -f $(fuzz_DIR)/summary.txt
	tests/fuzz/run_fuzz.sh $(fuzz_DIR) $(FUZZ_SHORT) $(FUZZ_MAX_LEN) $(FUZZ_TARGETS)

fuzz-long: fuzz
	@rm -f $(fuzz_DIR)/summary.txt
	tests/fuzz/run_fuzz.sh $(fuzz_DIR) $(FUZZ_SECONDS) $(FUZZ_MAX_LEN) $(FUZZ_TARGETS)

fuzz-run: $(fuzz_DIR)/$(FUZZ_TARGET)
	tests/fuzz/run_fuzz.sh $(fuzz_DIR) $(FUZZ_SECONDS) $(FUZZ_MAX_LEN) $(FUZZ_TARGET)
