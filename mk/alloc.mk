# No heap on the request path: the release objects linked with a counting
# shim (tests/process/count_alloc.cpp, through -Wl,--wrap) into
# build/alloc/plugin_vistrel; `make test-alloc` runs every kind of request
# through it and expects zero allocations after main starts.

ALLOC_DIR  = $(BUILD)/alloc
ALLOC_WRAP = -Wl,--wrap=malloc,--wrap=calloc,--wrap=realloc,--wrap=aligned_alloc,--wrap=memalign \
             -Wl,--wrap=posix_memalign,--wrap=main

$(ALLOC_DIR)/count_alloc.o: tests/process/count_alloc.cpp
	@mkdir -p $(@D)
	$(CXX) -std=c++17 -O1 -Wall -Wextra -Werror -c -o $@ $<

$(ALLOC_DIR)/plugin_vistrel: $(OBJ) $(ALLOC_DIR)/count_alloc.o
	$(CXX) $(LDSTATIC) $(CXXFLAGS) $(ALLOC_WRAP) -o $@ $^

$(ALLOC_DIR)/alloc_tests: tests/process/alloc_test.cpp $(TEST_SUPPORT)
	$(CXX) -std=c++17 -O1 -g -Wall -Wextra -Werror -Itests/support -o $@ $< $(GTEST_LIBS)

.PHONY: test-alloc
test-alloc: $(ALLOC_DIR)/plugin_vistrel $(ALLOC_DIR)/alloc_tests
	VISTREL_ALLOC_BIN=$(CURDIR)/$(ALLOC_DIR)/plugin_vistrel VISTREL_TESTS=$(CURDIR)/tests $(ALLOC_DIR)/alloc_tests

TEST_STEPS += test-alloc
