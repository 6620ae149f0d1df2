# Two entry points: `make demo` (install, build the module, run the quickstart) and
# `make test` (install, start services, C++ tests plain and sanitized, pytest);
# `make tsan-tests` runs the C++ tests under ThreadSanitizer (build/tsan).
.PHONY: demo test tsan-tests install module cpp-tests sanitizer-tests python-tests services bench clean

PY := .venv/bin/python

demo: install module
	$(PY) examples/quickstart.py

test:
	bash scripts/test.sh

tsan-tests:
	bash scripts/tsan_tests.sh

install:
	bash scripts/install.sh

module:
	bash scripts/build_module.sh

services:
	bash scripts/services.sh

bench: install
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOMBRIX_BUILD_BENCHMARKS=ON
	cmake --build build/bench

clean:
	rm -rf build
