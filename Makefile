# Front door: `make test` installs what is missing, builds everything and runs every test:
# the host suite, the same suite under AddressSanitizer and UndefinedBehaviorSanitizer, the
# concurrency tests under ThreadSanitizer, and a short fuzzing run. `make fuzz` fuzzes for
# longer (FUZZ_SECONDS per target).
.PHONY: all deps build test test-host test-sanitize test-tsan fuzz-smoke fuzz build-fuzz clean

FUZZ_SMOKE_SECONDS ?= 20
FUZZ_SECONDS ?= 600

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host

test: test-host test-sanitize test-tsan fuzz-smoke

test-host: build
	@ctest --preset host

test-sanitize: deps
	@cmake --preset sanitize >/dev/null
	@cmake --build --preset sanitize
	@ctest --preset sanitize

test-tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan
	@ctest --preset tsan

build-fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz

fuzz-smoke: build-fuzz
	@scripts/run-fuzz $(FUZZ_SMOKE_SECONDS)

fuzz: build-fuzz
	@scripts/run-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build
