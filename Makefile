# The two set-up commands: `make demo` and `make test`. Each installs the Debian
# packages that are missing, configures and builds; nothing else is needed.

BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
JOBS       ?= $(shell nproc)

# Build and test dependencies, all from Debian.
PACKAGES = cmake make g++ pkg-config libcjson-dev libssl-dev zlib1g-dev \
           libgtest-dev libgmock-dev python3 iproute2 util-linux socat openssl gzip \
           iptables clang-tidy
# Only for `make bench`: the latency-probe benchmarks compare with irtt and
# read the wire with tcpdump.
BENCH_PACKAGES = irtt tcpdump

.PHONY: all deps build build-asan build-tsan test lint demo bench clean format

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
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(BUILD_ASAN)/CMakeCache.txt:
	cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DLLD_SANITIZE=address,undefined

$(BUILD_TSAN)/CMakeCache.txt:
	cmake -S . -B $(BUILD_TSAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLLD_SANITIZE=thread

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(BUILD_ASAN)/CMakeCache.txt
	cmake --build $(BUILD_ASAN) -j $(JOBS)

build-tsan: deps $(BUILD_TSAN)/CMakeCache.txt
	cmake --build $(BUILD_TSAN) -j $(JOBS)

# The naming convention (.clang-tidy) over every C++ source of the project.
lint: build
	@files=$$(find $(CURDIR)/src $(CURDIR)/platform $(CURDIR)/bench $(CURDIR)/tests -name '*.cpp'); \
	out=$$(run-clang-tidy -p $(BUILD) -quiet -j $(JOBS) $$files 2>&1); status=$$?; \
	printf '%s\n' "$$out" | sed 's/\x1b\[[0-9;]*m//g' | grep -A3 -E '(error|warning): '; \
	[ $$status -eq 0 ] && echo "lint: the naming convention holds"; exit $$status

# The naming check, then the whole suite over a normal build, an
# AddressSanitizer + UBSan build and a ThreadSanitizer build.
test: lint build build-asan build-tsan
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(BUILD_ASAN) && ctest --output-on-failure -j $(JOBS)
	cd $(BUILD_TSAN) && ctest --output-on-failure -j $(JOBS)

# The client on a simulated gateway, in private namespaces: the host's firewall
# and /tmp are never touched.
demo: build
	unshare --mount --net --propagation private tools/demo.sh $(BUILD)

# Speed targets, each measured against a baseline in the same run.
bench: EXTRA_PACKAGES = $(BENCH_PACKAGES)
bench: build
	unshare --mount --net --propagation private bench/run.sh $(BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN)
