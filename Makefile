# make test       set-up, build, every test (C++ and Python)
# make test-asan  the same under AddressSanitizer + UndefinedBehaviorSanitizer
# make test-tsan  the same under ThreadSanitizer
# make test-wheel build the cp311-abi3 wheel offline, install it in a fresh venv, import it
# make bench      build, then run every benchmark in bench/

PYTHON      := /usr/bin/python3
CONFIGURE   := cmake -G Ninja -DPython3_EXECUTABLE=$(PYTHON) -DVORLISK_PYTHON=$(PYTHON)
CTEST       := ctest --output-on-failure -V
SAN_RUNTIME  = $(shell g++ -print-file-name=$(1))

.PHONY: setup build test test-asan test-tsan test-wheel bench clean

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
	  "-DVORLISK_PYTEST_ENV=LD_PRELOAD=$(call SAN_RUNTIME,libtsan.so):$(call SAN_RUNTIME,libstdc++.so);TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1" \
	  -DVORLISK_PYTEST_ARGS=--capture=sys >/dev/null
	@cmake --build build-tsan
	@cd build-tsan && $(CTEST)

test-wheel: setup
	@scripts/check-wheel

bench: build
	@for script in bench/*.py; do echo "== $$script"; PYTHONPATH=build $(PYTHON) $$script || exit 1; done

clean:
	rm -rf build build-asan build-tsan build-wheel vorlisk.egg-info
