# The Windows build: `make windows` cross-compiles build/windows/plugin_vistrel.exe
# with mingw-w64 from the same sources (the windows build kind: the platform
# file platform_win32.cpp instead of platform_posix.cpp); `make test-windows`
# runs the black-box checks against it under Wine.

WIN_CXX    ?= x86_64-w64-mingw32-g++
WIN_BIN     = $(windows_BIN)
WIN_FAKES   = $(windows_DIR)/fakes/nvidia-smi.exe $(windows_DIR)/fakes/rocm-smi.exe
WIN_PROBE   = $(windows_DIR)/proc_alive.exe
WIN_HELPER  = $(WIN_CXX) $(LANGF) $(WARN) -O1 -static
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

# Test helpers, Windows programs themselves: the fake vendor tools and a
# probe that tells whether a process id is still alive.
$(windows_DIR)/fakes/nvidia-smi.exe: tests/windows/fake_smi.cpp tests/windows/std_handles.h | windows-toolchain
	@mkdir -p $(@D)
	$(WIN_HELPER) -DFAKE_NVIDIA -o $@ $<

$(windows_DIR)/fakes/rocm-smi.exe: tests/windows/fake_smi.cpp tests/windows/std_handles.h | windows-toolchain
	@mkdir -p $(@D)
	$(WIN_HELPER) -DFAKE_ROCM -o $@ $<

$(WIN_PROBE): tests/windows/proc_alive.cpp tests/windows/std_handles.h | windows-toolchain
	@mkdir -p $(@D)
	$(WIN_HELPER) -o $@ $<

# The Linux build is there to show that both write the same page bytes.
test-windows: $(WIN_BIN) $(WIN_FAKES) $(WIN_PROBE) $(BIN) | wine-runtime
	WINE=$(WINE) WIN_BUILD=$(CURDIR)/$(windows_DIR) VISTREL_TESTS=$(CURDIR)/tests LINUX_BIN=$(CURDIR)/$(BIN) \
	  bash tests/windows/run_wine_tests.sh
