# make test       set-up, build, every test (C++ and Python)
# make test-asan  the same under AddressSanitizer + UndefinedBehaviorSanitizer
# make test-tsan  the same under ThreadSanitizer
# make test-wheel build the cp311-abi3 wheel offline, install it in a fresh venv, import it
# make fuzz       every libFuzzer target (fuzz/*_fuzz.cpp), FUZZ_SECONDS each
# make demo       build, then log 100k records from four threads to a rotating file
# make bench      every benchmark, in a Release build: bench/*.py, then bench/*_bench.cpp

PYTHON      := /usr/bin/python3
CONFIGURE   := cmake -G Ninja -DPython3_EXECUTABLE=$(PYTHON) -DVORLISK_PYTHON=$(PYTHON)
CTEST       := ctest --output-on-failure -V
SAN_RUNTIME  = $(shell g++ -print-file-name=$(1))
FUZZ_SECONDS ?= 30

.PHONY: demo setup build test test-asan test-tsan test-wheel bench fuzz clean

setup:
	@scripts/setup

build: setup
	@$(CONFIGURE) -S . -B build >/dev/null
	@cmake --build build

test: build
	@cd build && $(CTEST)

# Under ASan, Python objects come from malloc with freed memory filled
# (PYTHONMALLOC=malloc_debug), so an object used after user code freed it
# fails loudly even where the interpreter itself reads it.
test-asan: setup
	@$(CONFIGURE) -S . -B build-asan -DVORLISK_SANITIZE=address,undefined \
	  "-DVORLISK_PYTEST_ENV=LD_PRELOAD=$(call SAN_RUNTIME,libasan.so):$(call SAN_RUNTIME,libstdc++.so);PYTHONMALLOC=malloc_debug;ASAN_OPTIONS=detect_leaks=0;UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1" \
	  -DVORLISK_PYTEST_ARGS=--capture=sys >/dev/null
	@cmake --build build-asan
	@cd build-asan && $(CTEST)

test-tsan: setup
	@$(CONFIGURE) -S . -B build-tsan -DVORLISK_SANITIZE=thread \
	  "-DVORLISK_PYTEST_ENV=LD_PRELOAD=$(call SAN_RUNTIME,libtsan.so):$(call SAN_RUNTIME,libstdc++.so);TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp" \
	  -DVORLISK_PYTEST_ARGS=--capture=sys >/dev/null
	@cmake --build build-tsan
	@cd build-tsan && $(CTEST)

test-wheel: setup
	@scripts/check-wheel

# Each target runs for FUZZ_SECONDS on its own corpus directory (kept in
# build-fuzz/corpus between local runs); any crash fails the make.
fuzz: setup
	@$(CONFIGURE) -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DVORLISK_FUZZ=ON >/dev/null
	@cmake --build build-fuzz --target fuzz_targets
	@set -e; for target in build-fuzz/fuzz/*_fuzz; do \
	  name=$$(basename $$target); mkdir -p build-fuzz/corpus/$$name; \
	  echo "fuzz: $$name for $(FUZZ_SECONDS) s"; \
	  $$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/$$name- build-fuzz/corpus/$$name 2>build-fuzz/$$name.log \
	    || { tail -n 60 build-fuzz/$$name.log; exit 1; }; \
	  grep -E 'stat::number_of_executed_units|Done' build-fuzz/$$name.log | tail -n 2; \
	done

demo: build
	@PYTHONPATH=build $(PYTHON) examples/demo.py

# Everything is timed in a Release build in build-bench/, as the wheel is
# built: the Python scripts against its extension, then the Google
# Benchmark programs (BENCH_ARGS passes options).
bench: setup
	@$(CONFIGURE) -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVORLISK_BENCH=ON >/dev/null
	@cmake --build build-bench --target _rust bench_programs
	@for script in bench/*.py; do echo "== $$script"; PYTHONPATH=build-bench $(PYTHON) $$script || exit 1; done
	@set -e; for program in build-bench/bench/*_bench; do echo "== $$program"; $$program $(BENCH_ARGS); done

clean:
	rm -rf build build-asan build-tsan build-fuzz build-bench build-wheel vorlisk.egg-info
