# Everyday commands. Each sets up .venv on first use.
PY      := .venv/bin/python
STAMP   := .venv/.installed

.PHONY: test run dev bench clean

$(PY):
	python3 -m venv .venv
	$(PY) -m pip install --quiet --upgrade pip

# Installs the package as a user would (wheel build of every native module).
$(STAMP): $(PY) pyproject.toml CMakeLists.txt $(shell find native src -type f 2>/dev/null)
	$(PY) -m pip install --quiet ".[test]"
	touch $(STAMP)

test: $(STAMP)
	$(PY) -m pytest -q tests

run: $(STAMP)
	@echo "The reference host arrives in a later step; 'make test' runs the suite."

# Fast rebuild for development: modules are written into src/vantor, then
# PYTHONPATH=src .venv/bin/python -m pytest tests
# (TARGETS="lanecore feedhub" limits the build to those modules).
BUILD ?= build/dev
dev: $(PY)
	$(PY) -m pip install --quiet pyzmq pytest cmake ninja
	.venv/bin/cmake -S . -B $(BUILD) -G Ninja -DVANTOR_INPLACE=ON \
	  -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	.venv/bin/cmake --build $(BUILD) $(if $(TARGETS),--target $(TARGETS))

bench: $(STAMP)
	$(PY) bench/run_all.py

clean:
	rm -rf build .venv src/vantor/**/*.so
