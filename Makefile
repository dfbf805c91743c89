# Front door: `make demo` installs what is missing, builds and runs ktsensors on the default
# simulated notebook. `make test` builds everything and runs every test: the host suite, the
# same suite under AddressSanitizer and UndefinedBehaviorSanitizer, the concurrency tests
# under ThreadSanitizer, a short fuzzing run, and the Windows build's tests. `make fuzz`
# fuzzes for longer (FUZZ_SECONDS per target); `make bench` measures the exports.
.PHONY: all deps build build-host build-win32 build-fuzz demo test test-host test-sanitize \
	test-tsan test-win32 fuzz-smoke fuzz bench bench-host bench-wine clean

FUZZ_SMOKE_SECONDS ?= 28
FUZZ_SECONDS ?= 600

all: build

deps:
	@scripts/install-deps

build-host: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host

build-win32: deps
	@cmake --preset win32 >/dev/null
	@cmake --build --preset win32

build: build-host build-win32

demo: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host --target ktsensors
	@build/host/ktsensors

test: test-host test-sanitize test-tsan fuzz-smoke test-win32

test-host: build-host
	@ctest --preset host

test-sanitize: deps
	@cmake --preset sanitize >/dev/null
	@cmake --build --preset sanitize
	@ctest --preset sanitize

test-tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan
	@ctest --preset tsan

test-win32: build-win32
	@ctest --preset win32

build-fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz

fuzz-smoke: build-fuzz
	@scripts/run-fuzz $(FUZZ_SMOKE_SECONDS)

fuzz: build-fuzz
	@scripts/run-fuzz $(FUZZ_SECONDS)

# The export benchmark (Release, real clock): tables on stdout, figures in build/bench/results.json;
# then the same exports through the real DLL under Wine (build/win32/wine-results.json).
bench: bench-host bench-wine

bench-host: deps
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench
	@build/bench/tests/bench/kovaltherm_bench --json=build/bench/results.json

bench-wine: build-win32
	@scripts/wine setup $(CURDIR)/build/win32
	@scripts/wine driver start
	@scripts/wine run $(CURDIR)/build/win32/bench_exports.exe --json=wine-results.json; \
		status=$$?; scripts/wine shutdown; exit $$status

clean:
	rm -rf build
