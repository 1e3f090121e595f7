# Entry points: `make demo` shows the product working, `make test` runs every test.
# For publishers: `make tool` builds only virelo-release, `make release` only
# the VireloSetup.exe for users (docs/publishing.md).
BUILD   ?= build
HOST    := $(BUILD)/host
WINDOWS := $(BUILD)/windows
RELEASE ?= $(BUILD)/release
JOBS    ?= $(shell nproc)

# Seconds `make fuzz` gives each fuzz target.
FUZZ_SECONDS ?= 60

# Release constants of the program that `make release` builds. The test build
# ($(WINDOWS)) always embeds the demo keys, which the tests sign with.
VIRELO_SIGNING_KEY       ?=
VIRELO_NEXT_SIGNING_KEY  ?=
VIRELO_RELEASE_SITE      ?=

release_options := \
  -DVIRELO_SIGNING_KEY=$(abspath $(VIRELO_SIGNING_KEY)) \
  -DVIRELO_NEXT_SIGNING_KEY=$(if $(VIRELO_NEXT_SIGNING_KEY),$(abspath $(VIRELO_NEXT_SIGNING_KEY))) \
  -DVIRELO_RELEASE_SITE=$(VIRELO_RELEASE_SITE)

configure_host := cmake -S . -B $(HOST) -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
toolchain      := -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-mingw64.cmake

.PHONY: build test demo bench bootstrap configure clean tool release fuzz

build: configure
	cmake --build $(HOST) -j $(JOBS)
	cmake --build $(WINDOWS) -j $(JOBS)

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	$(configure_host) -DVIRELO_BUILD_TESTS=ON
	cmake -S . -B $(WINDOWS) -G Ninja $(toolchain) -DVIRELO_BUILD_TESTS=ON -DVIRELO_PUBLISHER_RELEASE=OFF \
	  -DVIRELO_SIGNING_KEY=$(CURDIR)/keys/demo/demo-signing-key.pub -DVIRELO_NEXT_SIGNING_KEY=

# The publisher's tool alone: $(HOST)/virelo-release.
tool: bootstrap
	$(configure_host)
	cmake --build $(HOST) --target virelo-release -j $(JOBS)
	@echo "built $(HOST)/virelo-release"

# The program for users, alone, in a build folder of its own, refusing the demo keys.
release: bootstrap
	@if [ -z "$(VIRELO_SIGNING_KEY)" ] || [ -z "$(VIRELO_RELEASE_SITE)" ]; then \
	  echo "make release needs VIRELO_SIGNING_KEY=path/to/signing-key.pub and" \
	       "VIRELO_RELEASE_SITE=https://host/path/ (see docs/publishing.md)" >&2; \
	  exit 2; \
	fi
	cmake -S . -B $(RELEASE) -G Ninja $(toolchain) -DVIRELO_BUILD_TESTS=OFF -DVIRELO_PUBLISHER_RELEASE=ON \
	  $(release_options)
	cmake --build $(RELEASE) --target VireloSetup -j $(JOBS)
	@echo "built $(RELEASE)/VireloSetup.exe"
	@cat $(RELEASE)/release-constants.txt

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
