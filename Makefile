# `make demo` and `make test` each set up .venv (Python 3.13) and build the package
# first; with nothing changed they go straight to the run.

PYTHON313 = $(shell for p in python3.13 $(HOME)/.pyenv/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do \
	$$p -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null && { echo $$p; break; }; done)
VENV := .venv
PY := $(VENV)/bin/python
SOURCES := pyproject.toml CMakeLists.txt $(shell find src python -type f 2>/dev/null)

.PHONY: demo test bench

# The main job on its embedded default: pictures, clip and timing table in kestrel-demo/.
demo: $(VENV)/.installed
	$(PY) -m kestrel

test: $(VENV)/.installed
	$(PY) -m pytest -q

bench: $(VENV)/.installed
	for b in bench/*.py; do $(PY) $$b || exit 1; done

$(PY):
	@test -n "$(PYTHON313)" || { echo "Python 3.13 not found: install python3.13 and retry" >&2; exit 1; }
	$(PYTHON313) -m venv $(VENV) || { rm -rf $(VENV); exit 1; }

$(VENV)/.installed: $(PY) $(SOURCES)
	$(PY) -m pip install -q scikit-build-core ninja "cmake>=3.26"
	$(PY) -m pip install -q --no-build-isolation --config-settings=cmake.define.KESTREL_WERROR=ON ".[cpu,test,app]"
	touch $@
