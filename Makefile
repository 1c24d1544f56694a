# `make demo` and `make test` each set up a virtual environment and build the package
# first; with nothing changed they go straight to the run. Python 3.13 goes to .venv;
# another interpreter to .venv-X.Y: `make test PYTHON_VERSION=3.12`, or name one with
# `make test PYTHON=/path/to/python3.12`.

PYTHON_VERSION ?= 3.13
ifndef PYTHON
PYTHON := $(shell for p in python$(PYTHON_VERSION) $(HOME)/.pyenv/versions/$(PYTHON_VERSION)*/bin/python$(PYTHON_VERSION) \
	/usr/local/bin/python$(PYTHON_VERSION) /usr/bin/python$(PYTHON_VERSION); do \
	$$p -c 'import sys; sys.exit("%d.%d" % sys.version_info[:2] != "$(PYTHON_VERSION)")' 2>/dev/null && { echo $$p; break; }; done)
endif
VERSION := $(if $(PYTHON),$(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null))
VENV := $(if $(filter 3.13,$(VERSION)),.venv,.venv-$(VERSION))
PY := $(VENV)/bin/python
SOURCES := pyproject.toml CMakeLists.txt $(shell find src python -type f 2>/dev/null)
# TensorRT's published type stubs, which the tests check our TensorRT calls against.
# Kept out of site-packages: their requirements pull TensorRT itself from a vendor
# index, and their tensorrt/ folder would import as an (empty) TensorRT.
TRT_STUBS_VERSION := 10.13.0.35.1
STUBS_DIR := $(VENV)/tensorrt-stubs

# The interpreter for gpu-check: the machine's own, whose CuPy it tests.
GPU_CHECK_PYTHON ?= python3

.PHONY: demo test bench gpu-check

# The main job on its embedded default: pictures, clip and timing table in kestrel-demo/.
demo: $(VENV)/.installed
	$(PY) -m kestrel

# The whole suite, then the gpu tests again on the emulated GPU (where a real one is
# present, the first run has already run them there).
test: $(VENV)/.installed $(STUBS_DIR)/.installed-$(TRT_STUBS_VERSION)
	$(PY) -m pytest -q
	$(PY) -m pytest -q -m gpu --emulated-gpu

bench: $(VENV)/.installed
	$(PY) bench/all.py

gpu-check:
	$(GPU_CHECK_PYTHON) tools/gpu_check.py

$(PY):
	@test -n "$(VERSION)" || { echo "Python $(PYTHON_VERSION) not found: install python$(PYTHON_VERSION) or name one with PYTHON=" >&2; exit 1; }
	$(PYTHON) -m venv $(VENV) || { rm -rf $(VENV); exit 1; }

$(VENV)/.installed: $(PY) $(SOURCES)
	$(PY) -m pip install -q scikit-build-core ninja "cmake>=3.26"
	$(PY) -m pip install -q --no-build-isolation --config-settings=cmake.define.KESTREL_WERROR=ON ".[cpu,test,app]"
	touch $@

$(STUBS_DIR)/.installed-$(TRT_STUBS_VERSION): | $(PY)
	rm -rf $(STUBS_DIR)
	$(PY) -m pip install -q --no-deps --target $(STUBS_DIR) "tensorrt-stubs==$(TRT_STUBS_VERSION)"
	touch $@
