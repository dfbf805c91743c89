# Front door: `make demo` installs what is missing, builds and runs ktsensors on the default
# simulated notebook; `make test` builds everything and runs every test.
.PHONY: all deps build demo test clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host

demo: deps
	@cmake --preset host >/dev/null
	@cmake --build --preset host --target ktsensors
	@build/host/ktsensors

test: build
	@ctest --preset host

clean:
	rm -rf build
