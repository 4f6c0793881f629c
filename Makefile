# Quick start: `make demo` and `make test`. Both install what is missing first.

BUILD      ?= build
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
BENCH_BUILD ?= build-release
LINT_BUILD ?= build-lint
WIN_BUILD  ?= build-windows
LINT_JOBS  ?= 2
FUZZ_SECONDS ?= 300
JOBS       ?= $(shell nproc)

.PHONY: all deps build demo test tsan fuzz bench format lint clean windows windows-configure test-windows screenshots

all: build

deps:
	@scripts/install-deps.sh

# The main build: sanitizers on, as the tests run it.
build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSTOWLINE_SANITIZE=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	@scripts/demo.sh $(BUILD)/bin/stowline-cli

test: build
	@WIN_BUILD=$(WIN_BUILD) scripts/run-tests.sh $(BUILD)

# The pictures of the window in docs/screenshots (SCREENSHOTS names another folder),
# taken under Qt's offscreen platform; builds only the tool that takes them.
SCREENSHOTS ?= docs/screenshots
screenshots: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSTOWLINE_SANITIZE=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target stowline-screenshots
	@$(BUILD)/bin/stowline-screenshots $(SCREENSHOTS)

# The Windows command line, cross-built with mingw-w64 (cmake/mingw-w64-x86_64.cmake):
# $(WIN_BUILD)/bin/stowline-cli.exe, static, with its manifest.
windows-configure: deps
	@cmake -S . -B $(WIN_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Debug -DSTOWLINE_TESTS=ON >/dev/null

windows: windows-configure
	@cmake --build $(WIN_BUILD) -j $(JOBS) --target stowline-cli

# The Windows build under Wine against the Linux build (scripts/run-wine-tests.sh);
# `make test` runs it wherever Wine is installed.
test-windows: windows-configure
	@scripts/run-wine-tests.sh $(WIN_BUILD) $(BUILD)

# Thread checks on the pipeline and the log.
tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSTOWLINE_TSAN=ON >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS)
	@cd $(TSAN_BUILD) && ctest -L threads --output-on-failure

fuzz: deps
	@CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DSTOWLINE_FUZZ=ON -DSTOWLINE_TESTS=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@scripts/run-fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

bench: deps
	@cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTOWLINE_TESTS=OFF >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS)
	@bench/run.sh $(BENCH_BUILD)/bin/stowline-cli

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

# The layering rule (docs/architecture.md), the header check (every header of the
# layers compiles alone: scripts/check-headers.sh), then clang-tidy with .clang-tidy
# over the sources of the layers; fails on any finding. Of build-lint only the
# header-check target is built: the compile database is all clang-tidy needs.
# LINT_FILES narrows clang-tidy (a regular expression over paths, e.g. LINT_FILES=engine/disk/).
lint: deps
	@scripts/check-layers.sh
	@cmake -S . -B $(LINT_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
	  -DSTOWLINE_TESTS=OFF >/dev/null
	@LINT_JOBS=$(LINT_JOBS) scripts/check-headers.sh $(LINT_BUILD)
	@LINT_JOBS=$(LINT_JOBS) scripts/run-lint.sh $(LINT_BUILD) '$(LINT_FILES)'

clean:
	rm -rf $(BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD) $(LINT_BUILD) $(WIN_BUILD)
