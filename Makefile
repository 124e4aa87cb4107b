# One-command set-up and runs on a fresh Debian machine: system packages, a virtual
# environment, the extension, and the tests.

PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
ENGINE_BUILD := build/engine
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
export PATH := $(abspath $(VENV))/bin:$(PATH):/usr/games

.PHONY: test demo demo-install install engine engine-test python-test system-deps browser-deps clean test-long wheel bench
.PHONY: fuzz fuzz-deps fuzz-build fuzz-run fuzz-short test-asan

# Everything CI runs: the engine and Python tests, a short pass of each fuzz target, and both
# test suites again under AddressSanitizer and UndefinedBehaviorSanitizer.
test: engine-test python-test fuzz-short test-asan

# A short training run under the fog-of-war rules, then matches of its network against random
# play and against the greedy bot: the last iteration's games (shards), the checkpoints,
# metrics.csv, matches.csv, learning-curve.png, the match tables (match-random.txt,
# match-greedy.txt) and a fog-of-war picture in out/demo. It trains a fixed number of
# iterations, so a busy machine takes longer rather than training less. It needs only the
# self-play extra, not the test tools.
DEMO_ITERATIONS ?= 20
demo: demo-install
	$(VENV)/bin/quellor-selfplay train --rules dark --iterations $(DEMO_ITERATIONS) --out out/demo --overwrite --no-progress
	for b in random greedy; do \
	  $(VENV)/bin/quellor-selfplay match out/demo/checkpoints/latest.pt $$b --games 200 --no-progress \
	    --json out/demo/match-$$b.json > out/demo/match-$$b.txt || exit 1; \
	  cat out/demo/match-$$b.txt; \
	done
	$(VENV)/bin/quellor-selfplay show $$(ls -d out/demo/data/iter-* | tail -1) --game 0 --ply 4

# Debian packages the tests need: GoogleTest for the engine, Stockfish as the perft oracle.
system-deps:
	@missing=""; \
	[ -f /usr/include/gtest/gtest.h ] || missing="$$missing libgtest-dev"; \
	command -v stockfish >/dev/null 2>&1 || missing="$$missing stockfish"; \
	if [ -n "$$missing" ]; then \
	  echo "Installing$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

# Debian's chromium and its driver, for the replay page's test in a real browser (Selenium is
# pointed at them; nothing downloads a browser).
browser-deps:
	@missing=""; \
	[ -x /usr/bin/chromium ] || missing="$$missing chromium"; \
	[ -x /usr/bin/chromedriver ] || missing="$$missing chromium-driver"; \
	if [ -n "$$missing" ]; then \
	  echo "Installing$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

# One stamp per set of packages in the shared $(VENV): the build tools, the demo's (the selfplay
# extra) and the tests' (the test extra), so that make demo installs no test tool and make test
# after make demo (or before it) installs what is missing.
$(VENV)/.build-deps:
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q scikit-build-core cmake ninja setuptools wheel
	touch $@

# pyproject.toml pins torch in every extra that pulls it (the CPU build on disk); the
# Makefile names no release of its own.

# A plain `pip install .` builds in a temporary folder; make keeps one per wheel tag under
# build/, so that a rebuild compiles only what changed.
KEEP_BUILD := -C build-dir=build/{wheel_tag}

$(VENV)/.demo-deps: pyproject.toml $(VENV)/.build-deps
	$(PIP) install -q --no-build-isolation $(KEEP_BUILD) ".[selfplay]"
	touch $@

$(VENV)/.test-deps: pyproject.toml $(VENV)/.build-deps
	$(PIP) install -q --no-build-isolation $(KEEP_BUILD) ".[test]"
	touch $@

# Rebuilds incrementally in build/<wheel tag> and reinstalls the extension.
install: $(VENV)/.test-deps
	$(PIP) install -q --no-build-isolation --no-deps $(KEEP_BUILD) .

demo-install: $(VENV)/.demo-deps
	$(PIP) install -q --no-build-isolation --no-deps $(KEEP_BUILD) .

# A wheel in dist/, then installed into a fresh virtual environment and used there.
wheel: $(VENV)/.test-deps
	rm -f dist/quellor-*.whl
	$(PIP) wheel -q --no-deps --no-build-isolation $(KEEP_BUILD) -w dist .
	$(PY) tools/check_wheel.py dist/quellor-*.whl

engine: system-deps $(VENV)/.test-deps
	cmake -S . -B $(ENGINE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUELLOR_ENGINE_TESTS=ON >/dev/null
	cmake --build $(ENGINE_BUILD)

engine-test: engine
	ctest --test-dir $(ENGINE_BUILD) --output-on-failure

# With the browser installed, its test must run rather than skip. The tests run on two
# workers (pytest-xdist), except the `processes` tests, which start worker processes and Ray
# clusters of their own and run after them, one at a time.
python-test: browser-deps install
	QUELLOR_REQUIRE_BROWSER=1 $(PY) -m pytest -n 2 -m "not processes" --durations=15
	$(PY) -m pytest -m processes --durations=5

# The differential games against the pure-Python model of the game, and GameBatch's games
# against SelfPlayGame and OpenSpiel's dark_chess, at length (other seeds than make test's), and
# beliefs that hold the true position at every exact ply of 1,000 random and 200 greedy games
# of 40 plies, and positions drawn from the beliefs of 50 random and 50 greedy games per side
# traced back and replayed in the pure-Python model.
LONG_GAMES ?= 20000
LONG_BATCH_GAMES ?= 2000
LONG_DARK_GAMES ?= 1000
LONG_BELIEF_GAMES ?= 1000
LONG_BELIEF_GREEDY_GAMES ?= 200
LONG_BELIEF_REPLAY_GAMES ?= 50
test-long: install
	QUELLOR_DIFFERENTIAL_GAMES=$(LONG_GAMES) $(PY) -m pytest -q tests/python/game/test_differential.py
	QUELLOR_BATCH_GAMES=$(LONG_BATCH_GAMES) QUELLOR_DARK_GAMES=$(LONG_DARK_GAMES) QUELLOR_BATCH_SEED=1 \
	  $(PY) -m pytest -q tests/python/batch/test_against_selfplaygame.py tests/python/batch/test_dark.py
	QUELLOR_BELIEF_GAMES=$(LONG_BELIEF_GAMES) QUELLOR_BELIEF_GREEDY_GAMES=$(LONG_BELIEF_GREEDY_GAMES) QUELLOR_BELIEF_PLIES=40 \
	  QUELLOR_BELIEF_REPLAY_GAMES=$(LONG_BELIEF_REPLAY_GAMES) \
	  $(PY) -m pytest -q tests/python/batch/test_belief.py -k "true_position or replay"

# libFuzzer targets (tests/fuzz) built by Debian's clang with ASan and UBSan, each run for
# FUZZ_SECONDS from the committed seeds; new inputs collect in build/fuzz/corpus, and a crash
# stops the run with its input saved as build/fuzz/crash-*.
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := fen_fuzz move_text_fuzz play_fuzz perft_fuzz

fuzz-deps:
	@missing=""; \
	command -v clang++ >/dev/null 2>&1 || missing="$$missing clang"; \
	dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || missing="$$missing libclang-rt-14-dev"; \
	if [ -n "$$missing" ]; then \
	  echo "Installing$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

fuzz-build: fuzz-deps $(VENV)/.test-deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DQUELLOR_FUZZ=ON >/dev/null
	cmake --build $(FUZZ_BUILD)

# make fuzz also runs the random-input tests of the Python surface with many more examples.
fuzz: fuzz-run install
	QUELLOR_HYPOTHESIS_PROFILE=fuzz $(PY) -m pytest -q -p no:cacheprovider tests/python/game/test_random_inputs.py

fuzz-short:
	$(MAKE) --no-print-directory fuzz-run FUZZ_SECONDS=$(CI_FUZZ_SECONDS)

CI_FUZZ_SECONDS ?= 15
fuzz-run: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/$$t -max_total_time=$(FUZZ_SECONDS) -max_len=512 -print_final_stats=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/crash-$$t- $(FUZZ_BUILD)/corpus/$$t tests/fuzz/corpus/$$t \
	    2>$(FUZZ_BUILD)/$$t.log || { tail -40 $(FUZZ_BUILD)/$$t.log; exit 1; }; \
	  grep -E "^stat::number_of_executed_units|^Done" $(FUZZ_BUILD)/$$t.log; \
	done

# The engine tests and the Python tests against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (gcc's). The sanitized module goes into its own environment,
# which sees the test dependencies of $(VENV) through a .pth file; Python runs with the ASan
# runtime preloaded and without leak detection (the interpreter keeps memory until exit).
# libstdc++ is preloaded beside it: the runtime's throw interceptor looks up the real
# __cxa_throw at start-up, and without it there the first C++ exception thrown inside an
# uninstrumented extension (torch, matplotlib, OpenSpiel) aborts the process.
ASAN_ENGINE_BUILD := build/asan-engine
ASAN_VENV := build/asan-venv
ASAN_ENV = LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 QUELLOR_ASAN=1

# The type check and the wheel build run no native code in the test process, and the
# `processes` tests (Ray, workers stopped by signals) call it as the in-process tests do: the
# plain run covers them. So do the tool's files, runs and pictures (training, resuming,
# damaged files, the curve, TensorBoard, the replay page in a browser): they reach the native
# code only through the calls that the batch, game, environment and match tests make here,
# and under the sanitizer they cost minutes of torch and Python.
ASAN_PYTHON_ONLY := $(addprefix --ignore=tests/python/selfplay/,test_train.py test_exploit.py test_tensorboard.py \
	test_damage.py test_curve.py test_overlap.py test_replay_page.py test_checkpoints.py test_cli.py test_data.py)
ASAN_SKIP := --ignore=tests/python/distribution $(ASAN_PYTHON_ONLY) -m "not processes"

test-asan: system-deps browser-deps $(VENV)/.test-deps
	cmake -S . -B $(ASAN_ENGINE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLOR_ENGINE_TESTS=ON \
	  -DQUELLOR_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_ENGINE_BUILD)
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --test-dir $(ASAN_ENGINE_BUILD) --output-on-failure
	[ -x $(ASAN_VENV)/bin/python ] || $(PYTHON) -m venv --without-pip $(ASAN_VENV)
	$(PY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])' > \
	  $$($(ASAN_VENV)/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/quellor-test-deps.pth
	$(PIP) --python $(ASAN_VENV)/bin/python install -q --no-build-isolation --no-deps \
	  -C cmake.define.QUELLOR_SANITIZE=ON -C cmake.build-type=RelWithDebInfo -C build-dir=build/asan-module .
	$(ASAN_ENV) QUELLOR_REQUIRE_BROWSER=1 $(ASAN_VENV)/bin/python -m pytest -n 2 -p no:cacheprovider --durations=15 $(ASAN_SKIP)

# Side-by-side benchmarks (bench/run.py, a few minutes). The peers of the Python loop go into
# the venv here; one that does not install on this machine is reported as unavailable.
$(VENV)/.bench-deps: $(VENV)/.test-deps
	$(PIP) install -q "open-spiel>=1.5" || echo "open-spiel did not install: the benchmarks report it unavailable"
	$(PIP) install -q "pettingzoo>=1.24" gymnasium pygame-ce || echo "pettingzoo did not install: the benchmarks report it unavailable"
	touch $@

bench: engine install $(VENV)/.bench-deps
	$(PY) bench/run.py --perft $(ENGINE_BUILD)/perft

clean:
	rm -rf build $(VENV)
