# Everyday commands. Each sets up .venv on first use.
PY      := .venv/bin/python
STAMP   := .venv/.installed

.PHONY: test test-quick browser postgres test-native test-asan fuzz fuzz-ci fuzz-build fuzz-merge fuzz-host run dev bench bench-archive bench-site clean

$(PY):
	python3 -m venv .venv
	$(PY) -m pip install --quiet --upgrade pip

# Installs the package as a user would (wheel build of every native module).
$(STAMP): $(PY) pyproject.toml CMakeLists.txt $(shell find native src -type f 2>/dev/null)
	$(PY) -m pip install --quiet ".[test]"
	touch $(STAMP)

# Everything CI runs: the suite, the core's C++ unit tests, the suite under
# the sanitizers, a short fuzz run.
test: test-quick test-native test-asan fuzz-ci

# The plain C++ core's unit tests (no interpreter involved), through CTest.
test-native: $(PY)
	$(PY) -m pip install --quiet cmake ninja
	.venv/bin/cmake -S . -B build/native-tests -G Ninja -DVANTOR_NATIVE_TESTS=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	.venv/bin/cmake --build build/native-tests --target core_tests
	.venv/bin/ctest --test-dir build/native-tests --output-on-failure

# The suite alone, against the installed package.
test-quick: $(STAMP) browser postgres
	$(PY) -m pytest -q tests

# Headless Chromium and its driver for the dashboard tests (Debian's packages),
# installed when missing; those tests skip only where they cannot be installed.
browser:
	command -v chromium >/dev/null && command -v chromedriver >/dev/null || \
	  { apt-get update -qq && apt-get install -y -qq chromium chromium-driver >/dev/null; }

# Debian's PostgreSQL server for the archive tests, which start and stop
# their own server (as the postgres user when run as root), when missing;
# waits for another apt or dpkg to finish first.
postgres:
	ls /usr/lib/postgresql/*/bin/initdb /usr/lib/postgresql/*/bin/pg_ctl >/dev/null 2>&1 || \
	  { apt-get -o DPkg::Lock::Timeout=600 update -qq && \
	    apt-get -o DPkg::Lock::Timeout=600 install -y -qq postgresql >/dev/null; }

# The main job: the service with the simulator, until Ctrl-C; it prints the
# address of the dashboard and API (HTTP=0.0.0.0:8765 serves the lab's network).
HTTP ?= 127.0.0.1:8765
run: $(STAMP)
	.venv/bin/vantor serve --http $(HTTP)

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
# Huge requests fail with MemoryError as in a plain build (the sanitizer notes
# them as warnings); reports go to build/asan/report.* (pytest's capture would
# swallow them) and an error among them fails the run.
ASAN_TREE := build/asan/pkg
test-asan: $(STAMP)
	rm -rf $(ASAN_TREE) && mkdir -p $(ASAN_TREE) && cp -r src/vantor $(ASAN_TREE)/
	find $(ASAN_TREE) -name '*.so' -delete
	.venv/bin/cmake -S . -B build/asan -G Ninja -DVANTOR_INPLACE=ON -DVANTOR_SANITIZE=ON \
	  -DVANTOR_OUTPUT_ROOT=$(abspath $(ASAN_TREE)) -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	.venv/bin/cmake --build build/asan
	rm -f build/asan/report.*
	PYTHONPATH=$(ASAN_TREE) PYTHONMALLOC=malloc \
	  LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:log_path=$(abspath build/asan/report) \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(abspath build/asan/report) \
	  $(PY) -m pytest -q -p no:cacheprovider -m "not browser" tests; status=$$?; \
	  if grep -qsE "ERROR: |runtime error:" build/asan/report.*; then \
	    grep -hE -A40 "ERROR: |runtime error:" build/asan/report.*; status=1; fi; exit $$status

# Coverage-guided fuzzing (atheris) of every entry point that takes outside
# data. The modules are built with clang, AddressSanitizer and libFuzzer's
# coverage hooks; atheris's sanitizer runtime with libFuzzer inside is
# preloaded. UBSan checks that need its C++ runtime (vptr, function) are left
# out: that runtime is not in the preloaded library. New inputs go to
# build/fuzz/work; fuzz/corpus is only read (fold finds in with fuzz-merge).
FUZZ_TREE    := build/fuzz/pkg
FUZZ_TARGETS := worker broker hub monitor constructors
FUZZ_UBSAN   := alignment,bool,bounds,builtin,enum,float-cast-overflow,integer-divide-by-zero,$\
                nonnull-attribute,null,object-size,pointer-overflow,return,returns-nonnull-attribute,$\
                shift,signed-integer-overflow,unreachable,vla-bound
FUZZ_CI_SECONDS ?= 25
FUZZ_SECONDS    ?= 900
FUZZ_ENV = PYTHONPATH=$(abspath $(FUZZ_TREE)) PYTHONMALLOC=malloc \
  LD_PRELOAD="$$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/asan_with_fuzzer.so" \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
FUZZ_FLAGS = -timeout=30 -rss_limit_mb=4096 -print_final_stats=1

fuzz-build: $(PY)
	command -v clang++ >/dev/null || { apt-get update -qq && apt-get install -y -qq clang >/dev/null; }
	$(PY) -m pip install --quiet pyzmq cmake ninja atheris
	rm -rf $(FUZZ_TREE) && mkdir -p $(FUZZ_TREE) && cp -r src/vantor $(FUZZ_TREE)/
	find $(FUZZ_TREE) -name '*.so' -delete
	.venv/bin/cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DVANTOR_INPLACE=ON \
	  -DVANTOR_SANITIZE=ON -DVANTOR_SANITIZERS="fuzzer-no-link,address,$(FUZZ_UBSAN)" \
	  -DVANTOR_OUTPUT_ROOT=$(abspath $(FUZZ_TREE)) -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	.venv/bin/cmake --build build/fuzz

# Each target for SECONDS; a finding stops the run, its input is in build/fuzz/artifacts.
define fuzz_each
	@mkdir -p build/fuzz/artifacts; n=0; \
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p build/fuzz/work/$$t fuzz/corpus/$$t; \
	  if $(FUZZ_ENV) $(PY) fuzz/fuzz_$$t.py build/fuzz/work/$$t fuzz/corpus/$$t -max_total_time=$(1) \
	       $(FUZZ_FLAGS) -artifact_prefix=build/fuzz/artifacts/$$t- >build/fuzz/$$t.log 2>&1; then \
	    n=$$((n + 1)); echo "fuzz_$$t: $$(grep -a 'DONE' build/fuzz/$$t.log | tail -1)"; \
	  else \
	    tail -60 build/fuzz/$$t.log; echo "fuzz_$$t FAILED (log: build/fuzz/$$t.log)"; \
	    echo "fuzz: $$n passed, 1 failed"; exit 1; \
	  fi; \
	done; echo "fuzz: $$n passed, 0 failed"
endef

fuzz-ci: fuzz-build
	$(call fuzz_each,$(FUZZ_CI_SECONDS))

fuzz: fuzz-build fuzz-host
	$(call fuzz_each,$(FUZZ_SECONDS))

# The running host fed random and forged datagrams between the simulator's
# steps (the suite runs a dozen examples of the same property).
HOST_FUZZ_EXAMPLES ?= 400
fuzz-host: $(STAMP)
	VANTOR_HOST_FUZZ_EXAMPLES=$(HOST_FUZZ_EXAMPLES) $(PY) -m pytest -q tests/test_host_fuzz.py

# Folds the inputs found by long runs into the committed corpus, minimised.
fuzz-merge: fuzz-build
	for t in $(FUZZ_TARGETS); do mkdir -p fuzz/corpus/$$t build/fuzz/work/$$t; \
	  $(FUZZ_ENV) $(PY) fuzz/fuzz_$$t.py -merge=1 fuzz/corpus/$$t build/fuzz/work/$$t $(FUZZ_FLAGS) \
	    >build/fuzz/$$t-merge.log 2>&1 || exit 1; done

# Module benchmarks (each against the floor of host work it cannot avoid) and
# the host's in-process throughput.
bench: $(STAMP)
	for b in bench_worker bench_broker bench_hub host_throughput; do $(PY) bench/$$b.py || exit 1; done

# Archive and alarms: their CPU at 2048 units (synthetic feed, and the host
# with them switched on and off), database size per unit and day, one-day
# queries; then SQLite and PostgreSQL side by side (ingest at 2048 and 4096
# units, size, queries).
bench-archive: $(STAMP) postgres
	$(PY) bench/bench_archive.py
	$(PY) bench/bench_archive_stores.py

# Channel units one host keeps up with: simulator and host in their own
# processes on loopback, stepping the unit count (CAPACITY="--levels 64,128"),
# each level also with the host inside the service, live clients and a job;
# three runs of each per level, since single runs near the limit lose at random.
# A site of 4 simulated nodes x 1024 units (buffSize 10) with the PostgreSQL
# archive, 60 s (SITE="--seconds 20" and so on to change it); then what
# publishing on the bus costs a node's data path (the service with and
# without --bus, same run, 3 runs a level).
NODE_LEVELS ?= 4096,5120,6144
bench-site: $(STAMP) postgres
	$(PY) bench/site/run.py $(SITE)
	$(PY) bench/capacity/run.py --service --bus --repeat 3 --worker-processes 0 \
	  --levels $(NODE_LEVELS) --out build/capacity-bus

bench-capacity: $(STAMP)
	$(PY) bench/capacity/run.py --service --repeat 3 $(CAPACITY)

clean:
	rm -rf build .venv src/vantor/**/*.so
