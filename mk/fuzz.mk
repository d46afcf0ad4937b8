# libFuzzer targets (tests/fuzz/) over the real units, built with clang and
# AddressSanitizer + UndefinedBehaviorSanitizer:
#   make test-fuzz                       every target for FUZZ_SHORT seconds (part of make test)
#   make fuzz-long FUZZ_SECONDS=300      every target for FUZZ_SECONDS seconds
#   make fuzz-run FUZZ_TARGET=fuzz_csv FUZZ_SECONDS=60
# Seeds are in tests/fuzz/corpus/<target>/ (read only); what a run learns goes
# to build/fuzz/corpus/<target>/ and is reused by later runs. A failing input
# is saved as build/fuzz/crash-*; replay it with build/fuzz/<target> FILE.
# Each run's figures (executions, cov:, ft:) are in build/fuzz/<target>.log,
# summed up in build/fuzz/summary.txt.

FUZZ_CXX     ?= clang++-14
FUZZ_SAN      = -fsanitize=address,undefined -fno-sanitize-recover=all
FUZZ_CFLAGS   = -g -O1 -fno-omit-frame-pointer $(FUZZ_SAN)
FUZZ_DIR      = $(BUILD)/fuzz
FUZZ_TARGETS  = fuzz_query fuzz_auth fuzz_json fuzz_lines fuzz_csv
FUZZ_OBJ      = $(SRC:src/%.cpp=$(FUZZ_DIR)/obj/%.o)
FUZZ_SHORT   ?= 5
FUZZ_SECONDS ?= 300
FUZZ_MAX_LEN ?= 4096

.PHONY: fuzz fuzz-deps test-fuzz fuzz-long fuzz-run
fuzz: $(FUZZ_TARGETS:%=$(FUZZ_DIR)/%)

# clang and its libFuzzer runtime, installed when missing (order-only below,
# so this never forces a rebuild).
fuzz-deps:
	@tools/ensure-packages.sh clang++-14:clang-14 \
	  /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a:libclang-rt-14-dev

$(FUZZ_DIR)/obj/%.o: src/%.cpp $(wildcard src/*.h) $(WEB_GEN) | fuzz-deps
	@mkdir -p $(@D)
	$(FUZZ_CXX) $(CPPFLAGS) $(LANGF) $(WARN) $(FUZZ_CFLAGS) -fsanitize=fuzzer-no-link -Dmain=plugin_main -c -o $@ $<

# The checks and models: sanitized, but not coverage-instrumented.
$(FUZZ_DIR)/fuzz_support.o: tests/fuzz/fuzz_support.cpp tests/fuzz/fuzz_common.h tests/support/json_check.h \
                            $(wildcard src/*.h) | fuzz-deps
	@mkdir -p $(@D)
	$(FUZZ_CXX) $(CPPFLAGS) -std=c++17 -Wall -Wextra -Werror $(FUZZ_CFLAGS) -Itests/fuzz -Itests/support -c -o $@ $<

$(FUZZ_DIR)/%: tests/fuzz/%.cpp tests/fuzz/fuzz_common.h $(FUZZ_DIR)/fuzz_support.o $(FUZZ_OBJ)
	$(FUZZ_CXX) $(CPPFLAGS) -std=c++17 -Wall -Wextra -Werror $(FUZZ_CFLAGS) -fsanitize=fuzzer -Itests/fuzz -Itests/support \
	  -o $@ $< $(FUZZ_DIR)/fuzz_support.o $(FUZZ_OBJ)

# The objects are kept: pattern-built prerequisites would otherwise be
# removed after each link.
.SECONDARY: $(FUZZ_OBJ) $(FUZZ_DIR)/fuzz_support.o

test-fuzz: $(FUZZ_TARGETS:%=$(FUZZ_DIR)/%)
	@rm -f $(FUZZ_DIR)/summary.txt
	tests/fuzz/run_fuzz.sh $(FUZZ_DIR) $(FUZZ_SHORT) $(FUZZ_MAX_LEN) $(FUZZ_TARGETS)

fuzz-long: $(FUZZ_TARGETS:%=$(FUZZ_DIR)/%)
	@rm -f $(FUZZ_DIR)/summary.txt
	tests/fuzz/run_fuzz.sh $(FUZZ_DIR) $(FUZZ_SECONDS) $(FUZZ_MAX_LEN) $(FUZZ_TARGETS)

fuzz-run: $(FUZZ_DIR)/$(FUZZ_TARGET)
	tests/fuzz/run_fuzz.sh $(FUZZ_DIR) $(FUZZ_SECONDS) $(FUZZ_MAX_LEN) $(FUZZ_TARGET)

TEST_STEPS += test-fuzz
