# Everyday commands. Each sets up .venv on first use.
PY      := .venv/bin/python
STAMP   := .venv/.installed

.PHONY: test test-asan run dev bench clean

$(PY):
	python3 -m venv .venv
	$(PY) -m pip install --quiet --upgrade pip

# Installs the package as a user would (wheel build of every native module).
$(STAMP): $(PY) pyproject.toml CMakeLists.txt $(shell find native src -type f 2>/dev/null)
	$(PY) -m pip install --quiet ".[test]"
	touch $(STAMP)

test: $(STAMP)
	$(PY) -m pytest -q tests

# The reference host with the simulator and the live view, for a short while.
SECONDS_RUN ?= 10
run: $(STAMP)
	.venv/bin/vantor run --seconds $(SECONDS_RUN)

# Fast rebuild for development: modules are written into src/vantor, then
# PYTHONPATH=src .venv/bin/python -m pytest tests
# (TARGETS="lanecore feedhub" limits the build to those modules).
BUILD ?= build/dev
dev: $(PY)
	$(PY) -m pip install --quiet pyzmq pytest cmake ninja
	.venv/bin/cmake -S . -B $(BUILD) -G Ninja -DVANTOR_INPLACE=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	.venv/bin/cmake --build $(BUILD) $(if $(TARGETS),--target $(TARGETS))

# The whole suite against modules built with AddressSanitizer and UBSan. All
# allocations go through the sanitizer's malloc so reads past a bytes object
# are caught too; leak detection is off for the interpreter's own allocations.
ASAN_TREE := build/asan/pkg
test-asan: $(PY)
	$(PY) -m pip install --quiet pyzmq pytest cmake ninja
	rm -rf $(ASAN_TREE) && mkdir -p $(ASAN_TREE) && cp -r src/vantor $(ASAN_TREE)/
	find $(ASAN_TREE) -name '*.so' -delete
	.venv/bin/cmake -S . -B build/asan -G Ninja -DVANTOR_INPLACE=ON -DVANTOR_SANITIZE=ON \
	  -DVANTOR_OUTPUT_ROOT=$(abspath $(ASAN_TREE)) -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	.venv/bin/cmake --build build/asan
	PYTHONPATH=$(ASAN_TREE) PYTHONMALLOC=malloc \
	  LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  $(PY) -m pytest -q -p no:cacheprovider tests

bench: $(STAMP)
	$(PY) bench/run_all.py

clean:
	rm -rf build .venv src/vantor/**/*.so
