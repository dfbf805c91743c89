# Front door: `make test` installs what is missing, builds everything and runs every test.
.PHONY: all deps build test clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host

test: build
	@ctest --preset host

clean:
	rm -rf build
