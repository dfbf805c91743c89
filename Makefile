# Front door: `make test` installs what is missing, builds everything and runs every test.
.PHONY: all deps build build-host build-win32 test test-host test-win32 bench clean

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

test-host: build-host
	@ctest --preset host

test-win32: build-win32
	@ctest --preset win32

test: test-host test-win32

# The export benchmark (Release, real clock): tables on stdout, figures in build/bench/results.json.
bench: deps
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench
	@build/bench/tests/bench/kovaltherm_bench --json=build/bench/results.json

clean:
	rm -rf build
