# The two set-up commands: `make demo` and `make test`. Each installs the Debian
# packages that are missing, configures and builds; nothing else is needed.

BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
BUILD_FUZZ ?= build-fuzz
BUILD_ARMHF ?= build-armhf
BUILD_ARM64 ?= build-arm64
JOBS       ?= $(shell nproc)
# `make fuzz`: seconds per fuzz target.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = $(basename $(notdir $(wildcard tests/fuzz/*.cpp)))

# Build and test dependencies, all from Debian.
PACKAGES = cmake make g++ pkg-config libcjson-dev libssl-dev zlib1g-dev \
           libgtest-dev libgmock-dev python3 iproute2 util-linux socat openssl gzip \
           iptables clang-tidy clang libclang-rt-14-dev \
           libmosquitto-dev mosquitto mosquitto-clients gnuplot-nox
# Only for `make test-cross`: Debian's cross compilers, the target's libraries
# (multiarch) and qemu-user, which runs what they build.
CROSS_ARCHS = armhf arm64
CROSS_LIBS = libcjson-dev libssl-dev zlib1g-dev libmosquitto-dev libgtest-dev libgmock-dev
CROSS_PACKAGES = qemu-user $(foreach a,$(CROSS_ARCHS),crossbuild-essential-$(a) $(CROSS_LIBS:%=%:$(a)))
# Only for `make bench`: the latency-probe benchmarks compare with irtt and
# read the wire with tcpdump; the budget's sizes need readelf (binutils).
BENCH_PACKAGES = irtt tcpdump binutils
# `make bench`: the revision whose build the budget shows beside this one's, and
# the cross builds whose sizes it shows (used when they exist and link the
# runtime as $(BUILD) does; otherwise built under $(BUILD)/bench-<arch> with the
# toolchain file, when there is one and its compiler).
BENCH_BASELINE ?= 05f1ab2
BENCH_CROSS ?= armhf:$(or $(BUILD_ARMHF),build-armhf) arm64:$(or $(BUILD_ARM64),build-arm64)

.PHONY: all deps build build-asan build-tsan build-fuzz test lint demo bench fuzz clean format \
        deps-cross build-armhf build-arm64 test-cross

all: build

deps:
	@missing=$$(for p in $(PACKAGES) $(EXTRA_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) --log-level=WARNING -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(BUILD_ASAN)/CMakeCache.txt:
	cmake -S . -B $(BUILD_ASAN) --log-level=WARNING -DCMAKE_BUILD_TYPE=Debug -DLLD_SANITIZE=address,undefined

$(BUILD_TSAN)/CMakeCache.txt:
	cmake -S . -B $(BUILD_TSAN) --log-level=WARNING -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLLD_SANITIZE=thread

$(BUILD_FUZZ)/CMakeCache.txt:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) --log-level=WARNING -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLLD_FUZZ=ON

# A cross build takes its toolchain file from cmake/ and, for its smoke test, the
# stand-ins and the reflector of the native build.
cross_configure = cmake -S . -B $(@D) --log-level=WARNING -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/$(1).cmake -DLLD_HOST_BUILD_DIR=$(abspath $(BUILD))

$(BUILD_ARMHF)/CMakeCache.txt:
	$(call cross_configure,armhf)

$(BUILD_ARM64)/CMakeCache.txt:
	$(call cross_configure,arm64)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(BUILD_ASAN)/CMakeCache.txt
	cmake --build $(BUILD_ASAN) -j $(JOBS)

build-tsan: deps $(BUILD_TSAN)/CMakeCache.txt
	cmake --build $(BUILD_TSAN) -j $(JOBS)

# Only the fuzz targets and the floors below them.
build-fuzz: deps $(BUILD_FUZZ)/CMakeCache.txt
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target $(FUZZ_TARGETS:%=fuzz_%)

# The target's architectures first: apt-get then finds their packages.
deps-cross:
	@for a in $(CROSS_ARCHS); do \
	  dpkg --print-foreign-architectures | grep -qx $$a || { echo "adding architecture $$a"; dpkg --add-architecture $$a; }; \
	done
	@$(MAKE) --no-print-directory deps PACKAGES='$(CROSS_PACKAGES)'

build-armhf: deps-cross $(BUILD_ARMHF)/CMakeCache.txt
	cmake --build $(BUILD_ARMHF) -j $(JOBS)

build-arm64: deps-cross $(BUILD_ARM64)/CMakeCache.txt
	cmake --build $(BUILD_ARM64) -j $(JOBS)

# Both cross builds, their unit tests and their smoke test (the client under
# qemu in the namespace bed, beside the native build's stand-ins and reflector).
test-cross: deps deps-cross $(BUILD)/CMakeCache.txt build-armhf build-arm64
	cmake --build $(BUILD) -j $(JOBS) --target lld_platform reflector
	cd $(BUILD_ARMHF) && ctest --output-on-failure -j $(JOBS)
	cd $(BUILD_ARM64) && ctest --output-on-failure -j $(JOBS)

# The naming convention (.clang-tidy) over every C++ source of the project.
lint: build
	@files=$$(find $(CURDIR)/src $(CURDIR)/platform $(CURDIR)/bench $(CURDIR)/tests -name '*.cpp'); \
	out=$$(run-clang-tidy -p $(BUILD) -quiet -j $(JOBS) $$files 2>&1); status=$$?; \
	printf '%s\n' "$$out" | sed 's/\x1b\[[0-9;]*m//g' | grep -A3 -E '(error|warning): '; \
	[ $$status -eq 0 ] && echo "lint: the naming convention holds"; exit $$status

# The naming check, then the whole suite over a normal build, an
# AddressSanitizer + UBSan build and a ThreadSanitizer build, and a few seconds
# of each fuzz target from its seeds; then the cross builds (test-cross).
test: lint build build-asan build-tsan build-fuzz
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(BUILD_ASAN) && ctest --output-on-failure -j $(JOBS)
	cd $(BUILD_TSAN) && ctest --output-on-failure -j $(JOBS)
	cd $(BUILD_FUZZ) && ctest --output-on-failure -j $(JOBS) -L fuzz
	$(MAKE) --no-print-directory test-cross

# Each fuzz target for FUZZ_SECONDS over a copy of its seeds in the build tree,
# which keeps what earlier runs found; a crash stops here with its input saved
# as $(BUILD_FUZZ)/<target>-crash-<hash>.
fuzz: build-fuzz
	@for t in $(FUZZ_TARGETS); do \
	  corpus=$(BUILD_FUZZ)/corpus/$$t; log=$(BUILD_FUZZ)/fuzz-$$t.log; \
	  mkdir -p $$corpus && cp tests/fuzz/$$t/seeds/* $$corpus/ || exit 1; \
	  echo "fuzz_$$t: $(FUZZ_SECONDS) s"; \
	  $(BUILD_FUZZ)/tests/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	    -artifact_prefix=$(BUILD_FUZZ)/$$t- $$corpus >$$log 2>&1 \
	    || { tail -n 60 $$log; echo "fuzz_$$t FAILED, log: $$log"; exit 1; }; \
	  grep -E '^(#[0-9]+.*DONE|Done)' $$log; \
	done

# The daemons, their systemd units, init scripts and option files, the man pages
# and the example configuration under PREFIX, staged below DESTDIR when given
# (packaging/). An option file that is already installed is kept.
PREFIX  ?= /usr/local
DESTDIR ?=
.PHONY: install
install: build
	DESTDIR='$(if $(DESTDIR),$(abspath $(DESTDIR)))' cmake --install $(BUILD) --prefix '$(PREFIX)'

# The client on a simulated gateway, in private namespaces: the host's firewall
# and /tmp are never touched.
# Builds quietly only what the demo runs (the log stays in the build tree).
demo: deps $(BUILD)/CMakeCache.txt
	@echo "building lld-client, lld-proxy, the stand-ins and the reflector ($(BUILD)/demo-build.log)"
	@cmake --build $(BUILD) -j $(JOBS) --target lld-client lld-proxy lld_platform reflector \
	    >$(BUILD)/demo-build.log 2>&1 || { tail -n 40 $(BUILD)/demo-build.log; exit 1; }
	@unshare --mount --net --propagation private tools/demo.sh $(BUILD)

# Speed targets, each measured against a baseline in the same run, and the
# budget table: sizes, memory, threads, wake-ups, CPU, probe timing, children.
bench: EXTRA_PACKAGES = $(BENCH_PACKAGES)
bench: build
	@bench/prepare.sh $(BUILD) $(BENCH_BASELINE) $(JOBS) $(BENCH_CROSS)
	unshare --mount --net --propagation private bench/run.sh $(BUILD) $(BENCH_BASELINE)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_FUZZ) $(BUILD_ARMHF) $(BUILD_ARM64)
