# Front door: `make demo` installs what is missing, builds and runs ktsensors on the default
# simulated notebook. `make test` builds everything and runs every test: the host suite, the
# same suite under AddressSanitizer and UndefinedBehaviorSanitizer, the concurrency tests
# under ThreadSanitizer, a short fuzzing run, and the Windows build's tests. `make fuzz`
# fuzzes for longer (FUZZ_SECONDS per target); `make bench` measures the exports. `make dist`
# makes the SDK zip of both Windows builds, its Linux library and its test kit, the NuGet
# package and the Python wheels, an MSI per architecture and their SHA256SUMS; `make test-dist`
# builds the zip's examples for both architectures and runs them under Wine, installs the
# packages as developers do and runs the examples and the wrappers' tests on the zip's
# libkovaltherm.so, runs the test kit's walk-through, and the operators' guide's MSI commands.
.PHONY: all deps build build-host build-win32 build-win64 build-sanitize build-tsan build-fuzz \
	demo test test-host test-sanitize test-tsan test-win32 test-win64 dist test-dist fuzz-smoke fuzz bench \
	bench-host bench-wine bench-monitor bench-service install clean

VERSION := $(shell grep -o 'Kovaltherm VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)
DIST_ZIP := dist/kovaltherm-$(VERSION)-windows.zip

# The short run in `make test`: a fixed number of executions per target (about what 55 s
# makes on this 2-core machine with nothing else running), so that it does the same work
# however busy the stages beside it keep the machine; the seconds only bound it. `make test`
# runs it as the documented `make fuzz FUZZ_SECONDS=600` with FUZZ_RUNS set to these runs.
FUZZ_SMOKE_RUNS ?= 350000
FUZZ_SMOKE_SECONDS ?= 300
FUZZ_SECONDS ?= 600
# When set, each target's run of `make fuzz` also ends after this many executions.
FUZZ_RUNS ?=

all: build

deps:
	@scripts/install-deps

build-host: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host

build-win32: deps
	@cmake --preset win32 >/dev/null
	@cmake --build --preset win32

build-win64: deps
	@cmake --preset win64 >/dev/null
	@cmake --build --preset win64

build: build-host build-win32 build-win64

# The demo installs only what the host build of ktsensors needs and configures that build
# without its tests (preset demo, in build/host), whose tools `make test` installs. It prints
# the reading alone: the build's output goes to a log, shown when the build fails.
DEMO_LOG := build/host/demo-build.log
demo:
	@scripts/install-deps demo
	@cmake --preset demo >/dev/null
	@echo "Building ktsensors (log: $(DEMO_LOG))"
	@cmake --build --preset demo >$(DEMO_LOG) 2>&1 || { tail -n 30 $(DEMO_LOG); \
		echo "make demo: the build failed; its log: $(DEMO_LOG)" >&2; exit 1; }
	@build/host/ktsensors

# Every stage below, side by side where they can be (scripts/test-all: lanes, logs under
# build/test-logs/, a table of the stages' times, the failing logs).
test: deps
	@scripts/test-all $(FUZZ_SMOKE_RUNS)

test-host: build-host
	@ctest --preset host

build-sanitize: deps
	@cmake --preset sanitize >/dev/null
	@cmake --build --preset sanitize

test-sanitize: build-sanitize
	@ctest --preset sanitize

build-tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan

test-tsan: build-tsan
	@ctest --preset tsan

test-win32: build-win32 build-host
	@ctest --preset win32

# The x64 suite, and in the same 64-bit prefix the cache shared with the 32-bit build.
test-win64: build-win64 build-win32 build-host
	@ctest --preset win64

# The host tool, its man page, bash completion, systemd units and tmpfiles.d link under
# PREFIX (the units name the tool there), below DESTDIR when that is set.
PREFIX ?= /usr/local
install: deps
	@cmake --preset host -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	@cmake --build --preset host --target ktsensors ktsensors_man
	@DESTDIR=$(DESTDIR) cmake --install build/host

# The SDK zip (both builds side by side, x86/ and x64/, and linux-x86_64/ from the host build,
# in one folder kovaltherm-VERSION/), the NuGet package and the Python wheels: packaging/dist.
dist: build-win32 build-win64
	@packaging/dist $(VERSION)

# The wrappers' tests in the consumer test run on the host build's libkovaltherm.so. Its Wine
# prefixes are its own (build/wine-dist/), so that it can run beside the Windows suites. Then
# the operators' guide's commands for the packages: their checksums, the MSI under Wine.
test-dist: dist build-host
	@export KOVALTHERM_WINE_PREFIX_DIR=$(CURDIR)/build/wine-dist; \
		tests/sdk/consumer_test.sh $(CURDIR)/$(DIST_ZIP) && tests/sdk/testkit_test.sh $(CURDIR)/$(DIST_ZIP) && \
		tests/msi/guide_test.sh $(CURDIR) $(CURDIR)/dist $(CURDIR)/$(DIST_ZIP)

build-fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz

fuzz-smoke: build-fuzz
	@scripts/run-fuzz $(FUZZ_SMOKE_SECONDS) $(FUZZ_SMOKE_RUNS)

fuzz: build-fuzz
	@scripts/run-fuzz $(FUZZ_SECONDS) $(FUZZ_RUNS)

# The export benchmark: the host half (Release, real clock, next to a bare loop, then 50
# scrapers against ktsensors --listen), then the
# real DLL under Wine next to a bare client, for each Windows build in BENCH_WINE_BUILDS
# (build directories under build/), then the monitor's and the service's footprints
# (bench-monitor, bench-service). Every half
# runs whatever the others did; all figures
# end up in build/bench/results.json. Missed targets are reported, not failures: the exit
# status is nonzero only when a half could not run.
BENCH_WINE_BUILDS ?= win32 win64

bench: deps
	@mkdir -p build/bench; status=0; \
	$(MAKE) --no-print-directory bench-host || status=1; \
	for b in $(BENCH_WINE_BUILDS); do \
		$(MAKE) --no-print-directory bench-wine WINE_BUILD=$$b || status=1; \
	done; \
	$(MAKE) --no-print-directory bench-monitor || status=1; \
	$(MAKE) --no-print-directory bench-service || status=1; \
	build/bench/tests/bench/kovaltherm_bench_merge build/bench/results.json \
		host=build/bench/host.json scrape=build/bench/scrape.json \
		$(foreach b,$(BENCH_WINE_BUILDS),wine-$(b)=build/bench/wine-$(b).json) \
		monitor=build/bench/monitor-win64.json service=build/bench/service-win64.json || status=1; \
	exit $$status

bench-host: deps
	@mkdir -p build/bench
	@rm -f build/bench/host.json build/bench/scrape.json
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench
	@status=0; build/bench/tests/bench/kovaltherm_bench --json=build/bench/host.json || status=1; \
	build/bench/tests/bench/kovaltherm_scrape_bench --json=build/bench/scrape.json || status=1; \
	exit $$status

WINE_BUILD ?= win32
bench-wine: deps
	@mkdir -p build/bench
	@rm -f build/bench/wine-$(WINE_BUILD).json build/$(WINE_BUILD)/wine-results.json
	@cmake --preset $(WINE_BUILD) >/dev/null
	@cmake --build --preset $(WINE_BUILD)
	@export KOVALTHERM_WINE_ARCH=$(WINE_BUILD); \
		scripts/wine setup $(CURDIR)/build/$(WINE_BUILD) && scripts/wine driver start && \
		scripts/wine run $(CURDIR)/build/$(WINE_BUILD)/bench_exports.exe --json=wine-results.json; \
		status=$$?; scripts/wine shutdown; \
		cp build/$(WINE_BUILD)/wine-results.json build/bench/wine-$(WINE_BUILD).json || status=1; \
		exit $$status

# A footprint benchmark under Wine (64-bit), in the prefix with the driver running: $(1) the
# script, given the source and build folders, $(2) its JSON under build/bench, $(3) seconds.
define footprint_bench
	@mkdir -p build/bench
	@rm -f build/bench/$(2)
	@cmake --preset win64 >/dev/null
	@cmake --build --preset win64
	@export KOVALTHERM_WINE_ARCH=win64; \
		scripts/wine setup $(CURDIR)/build/win64 && scripts/wine driver start && \
		$(1) $(CURDIR) $(CURDIR)/build/win64 build/bench/$(2) $(3); \
		status=$$?; scripts/wine shutdown; exit $$status
endef

# The notification-area monitor's footprint: its CPU time per hour and working set at the
# default interval on the steady notebook, beside an idle Wine GUI program.
MONITOR_BENCH_SECONDS ?= 90
bench-monitor: deps
	$(call footprint_bench,tests/monitor/monitor_bench.sh,monitor-win64.json,$(MONITOR_BENCH_SECONDS))

# The service's footprint: its CPU time per hour and peak working set at the default interval
# with --listen on the steady notebook, beside ktsensors.exe left idle.
SERVICE_BENCH_SECONDS ?= 90
bench-service: deps
	$(call footprint_bench,tests/wine/service_bench.sh,service-win64.json,$(SERVICE_BENCH_SECONDS))

clean:
	rm -rf build
