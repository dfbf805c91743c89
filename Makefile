# Front door: `make demo` installs what is missing, builds and runs ktsensors on the default
# simulated notebook. `make test` builds everything and runs every test: the host suite, the
# same suite under AddressSanitizer and UndefinedBehaviorSanitizer, the concurrency tests
# under ThreadSanitizer, a short fuzzing run, and the Windows build's tests. `make fuzz`
# fuzzes for longer (FUZZ_SECONDS per target); `make bench` measures the exports.
.PHONY: all deps build build-host build-win32 build-fuzz demo test test-host test-sanitize \
	test-tsan test-win32 fuzz-smoke fuzz bench bench-host bench-wine clean

FUZZ_SMOKE_SECONDS ?= 20
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

# The export benchmark: the host half (Release, real clock, next to a bare loop), then the
# real DLL under Wine next to a bare client, for each Windows build in BENCH_WINE_BUILDS
# (build directories under build/). Every half runs whatever the others did; all figures
# end up in build/bench/results.json. Missed targets are reported, not failures: the exit
# status is nonzero only when a half could not run.
BENCH_WINE_BUILDS ?= win32

bench: deps
	@mkdir -p build/bench; status=0; \
	$(MAKE) --no-print-directory bench-host || status=1; \
	for b in $(BENCH_WINE_BUILDS); do \
		$(MAKE) --no-print-directory bench-wine WINE_BUILD=$$b || status=1; \
	done; \
	build/bench/tests/bench/kovaltherm_bench_merge build/bench/results.json \
		host=build/bench/host.json \
		$(foreach b,$(BENCH_WINE_BUILDS),wine-$(b)=build/bench/wine-$(b).json) || status=1; \
	exit $$status

bench-host: deps
	@mkdir -p build/bench
	@rm -f build/bench/host.json
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench
	@build/bench/tests/bench/kovaltherm_bench --json=build/bench/host.json

WINE_BUILD ?= win32
bench-wine: deps
	@mkdir -p build/bench
	@rm -f build/bench/wine-$(WINE_BUILD).json build/$(WINE_BUILD)/wine-results.json
	@cmake --preset $(WINE_BUILD) >/dev/null
	@cmake --build --preset $(WINE_BUILD)
	@scripts/wine setup $(CURDIR)/build/$(WINE_BUILD) && scripts/wine driver start && \
		scripts/wine run $(CURDIR)/build/$(WINE_BUILD)/bench_exports.exe --json=wine-results.json; \
		status=$$?; scripts/wine shutdown; \
		cp build/$(WINE_BUILD)/wine-results.json build/bench/wine-$(WINE_BUILD).json || status=1; \
		exit $$status

clean:
	rm -rf build
