# The Windows build: `make windows` cross-compiles build/windows/plugin_vistrel.exe
# with mingw-w64 from the same sources (only src/platform.cpp takes its other
# branch); `make test-windows` runs the black-box checks against it under Wine.
# The web assets header comes from the host-built embed tool, as on Linux.

WIN_CXX    ?= x86_64-w64-mingw32-g++
WIN_BUILD   = $(BUILD)/windows
WIN_OBJ     = $(SRC:src/%.cpp=$(WIN_BUILD)/obj/%.o)
WIN_BIN     = $(WIN_BUILD)/plugin_vistrel.exe
WIN_FAKES   = $(WIN_BUILD)/fakes/nvidia-smi.exe $(WIN_BUILD)/fakes/rocm-smi.exe
WIN_PROBE   = $(WIN_BUILD)/proc_alive.exe
# Debian's wine64 package puts the 64-bit loader here; the `wine` wrapper
# would warn on standard error about the missing 32-bit half.
WINE       ?= /usr/lib/wine/wine64

.PHONY: windows test-windows windows-toolchain wine-runtime
windows: $(WIN_BIN)

# The cross compiler and Wine come from Debian, installed when missing.
windows-toolchain:
	@tools/ensure-packages.sh $(WIN_CXX):g++-mingw-w64-x86-64

wine-runtime:
	@tools/ensure-packages.sh $(WINE):wine64

$(WIN_BUILD)/obj/%.o: src/%.cpp $(wildcard src/*.h) $(WEB_GEN) | windows-toolchain
	@mkdir -p $(@D)
	$(WIN_CXX) $(CPPFLAGS) $(LANGF) $(WARN) $(CXXFLAGS) -c -o $@ $<

# -static: libstdc++, libgcc and winpthread are linked in; the program needs
# only system DLLs (KERNEL32, msvcrt).
$(WIN_BIN): $(WIN_OBJ)
	$(WIN_CXX) $(LDSTATIC) $(CXXFLAGS) -o $@ $^

# Test helpers, Windows programs themselves: the fake vendor tools and a
# probe that tells whether a process id is still alive.
$(WIN_BUILD)/fakes/nvidia-smi.exe: tests/windows/fake_smi.cpp | windows-toolchain
	@mkdir -p $(@D)
	$(WIN_CXX) -std=c++17 -O1 -Wall -Wextra -Werror -static -DFAKE_NVIDIA -o $@ $<

$(WIN_BUILD)/fakes/rocm-smi.exe: tests/windows/fake_smi.cpp | windows-toolchain
	@mkdir -p $(@D)
	$(WIN_CXX) -std=c++17 -O1 -Wall -Wextra -Werror -static -DFAKE_ROCM -o $@ $<

$(WIN_PROBE): tests/windows/proc_alive.cpp | windows-toolchain
	@mkdir -p $(@D)
	$(WIN_CXX) -std=c++17 -O1 -Wall -Wextra -Werror -static -o $@ $<

# The Linux build is there to show that both write the same page bytes.
test-windows: $(WIN_BIN) $(WIN_FAKES) $(WIN_PROBE) $(BIN) | wine-runtime
	WINE=$(WINE) WIN_BUILD=$(CURDIR)/$(WIN_BUILD) VISTREL_TESTS=$(CURDIR)/tests LINUX_BIN=$(CURDIR)/$(BIN) \
	  bash tests/windows/run_wine_tests.sh

TEST_STEPS += test-windows
