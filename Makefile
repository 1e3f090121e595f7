# Entry points: `make demo` shows the product working, `make test` runs every test.
BUILD   ?= build
HOST    := $(BUILD)/host
WINDOWS := $(BUILD)/windows
JOBS    ?= $(shell nproc)

# Seconds `make fuzz` gives each fuzz target.
FUZZ_SECONDS ?= 60

# Release constants of the setup program; empty means the build's defaults
# (the demo key and the placeholder site).
VIRELO_SIGNING_KEY       ?=
VIRELO_RELEASE_SITE      ?=
VIRELO_PUBLISHER_RELEASE ?=

windows_options := \
  $(if $(VIRELO_SIGNING_KEY),-DVIRELO_SIGNING_KEY=$(abspath $(VIRELO_SIGNING_KEY))) \
  $(if $(VIRELO_RELEASE_SITE),-DVIRELO_RELEASE_SITE=$(VIRELO_RELEASE_SITE)) \
  $(if $(VIRELO_PUBLISHER_RELEASE),-DVIRELO_PUBLISHER_RELEASE=$(VIRELO_PUBLISHER_RELEASE))

.PHONY: build test demo bench bootstrap configure clean fuzz

build: configure
	cmake --build $(HOST) -j $(JOBS)
	cmake --build $(WINDOWS) -j $(JOBS)

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	cmake -S . -B $(HOST) -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake -S . -B $(WINDOWS) -G Ninja \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-mingw64.cmake $(windows_options)

# Host tests run in parallel; the Wine tests share one prefix and run in order.
test: build
	@status=0; \
	ctest --test-dir $(HOST) --output-on-failure -j $(JOBS) || status=1; \
	ctest --test-dir $(WINDOWS) --output-on-failure || status=1; \
	exit $$status

demo: build
	BUILD=$(BUILD) scripts/demo

bench: build
	scripts/bench

# virelo-release serve beside nginx, and under hostile clients (figures only).
.PHONY: bench-serve
bench-serve: configure
	cmake --build $(HOST) --target virelo-release -j $(JOBS)
	BUILD=$(BUILD) scripts/bench-serve

# Every fuzz target for FUZZ_SECONDS each, one at a time, on its corpus in $(HOST).
fuzz: configure
	cmake --build $(HOST) -j $(JOBS)
	BUILD=$(BUILD) FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz

clean:
	rm -rf $(BUILD)
