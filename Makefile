# Front door: `make test` installs what is missing, builds everything and runs every test.
.PHONY: all deps build test bench clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host

test: build
	@ctest --preset host

# The export benchmark (Release, real clock): tables on stdout, figures in build/bench/results.json.
bench: deps
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench
	@build/bench/tests/bench/kovaltherm_bench --json=build/bench/results.json

clean:
	rm -rf build
