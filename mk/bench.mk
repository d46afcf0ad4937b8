# make bench: times whole requests of the release binary, as a node's web
# server runs them, against three floors measured in the same run, and
# checks the budgets (bench/bench.py holds them). Not part of `make test`:
# timings are never asserted by the tests. Writes bench/results/latest.md.
BENCH_DIR       = $(BUILD)/bench
BENCH_FLOORS    = $(BENCH_DIR)/floor-musl $(BENCH_DIR)/floor-glibc $(BENCH_DIR)/floor-nolibc
BENCH_BIG_CSV   = $(BENCH_DIR)/big.csv
BENCH_BIG_BYTES = 100000000
BENCH_FIXTURE   = bench/fixtures/32-gpus-256-procs.csv
BENCH_OUT      ?= bench/results/latest.md

.PHONY: bench bench-tools

# hyperfine (with --output=pipe, 1.15 or later), GNU time for peak RSS and
# valgrind (callgrind) for instruction counts.
bench-tools:
	@tools/ensure-packages.sh hyperfine:hyperfine /usr/bin/time:time python3:python3 valgrind:valgrind

# The floors are C: the language and warnings of the program, in C.
FLOOR_CFLAGS = -std=c11 -O2 $(WARN_C)

# The floors: floor.c against musl (what the budgets are judged by), built
# as the release is, a hardened static PIE, so that the budgets weigh
# vistrel's own work and not the start-up that every such program pays;
# floor.c static against glibc, and the same work with no C library at all.
$(BENCH_DIR)/floor-musl: bench/floor.c | musl-toolchain
	@mkdir -p $(@D)
	$(MUSL_LD) $(FLOOR_CFLAGS) $(HARDEN_CFLAGS) $(MUSL_INCLUDES) -o $@ $< $(MUSL_CLIB)

$(BENCH_DIR)/floor-glibc: bench/floor.c
	@mkdir -p $(@D)
	$(CC) $(FLOOR_CFLAGS) -static -o $@ $<

$(BENCH_DIR)/floor-nolibc: bench/floor_nolibc.c
	@mkdir -p $(@D)
	$(CC) $(FLOOR_CFLAGS) -static -nostdlib -ffreestanding -fno-stack-protector -fno-pie -no-pie -o $@ $<

$(BENCH_FIXTURE): bench/gen_fixtures.py
	python3 bench/gen_fixtures.py many $@

# 100 MB, built here and never committed.
$(BENCH_BIG_CSV): bench/gen_fixtures.py
	@mkdir -p $(@D)
	python3 bench/gen_fixtures.py big $@ $(BENCH_BIG_BYTES)

bench: bench-tools $(BIN) $(BENCH_FLOORS) $(BENCH_FIXTURE) $(BENCH_BIG_CSV)
	python3 bench/bench.py --bin $(BIN) --floor $(BENCH_DIR)/floor-musl --floor-glibc $(BENCH_DIR)/floor-glibc \
	  --floor-nolibc $(BENCH_DIR)/floor-nolibc --big $(BENCH_BIG_CSV) --out $(BENCH_OUT)
