# The two set-up commands: `make demo` and `make test`. Each installs the Debian
# packages that are missing, configures and builds; nothing else is needed.

BUILD      ?= build
BUILD_ASAN ?= build-asan
JOBS       ?= $(shell nproc)

# Build and test dependencies, all from Debian.
PACKAGES = cmake make g++ pkg-config libcjson-dev libssl-dev zlib1g-dev \
           libgtest-dev libgmock-dev python3 iproute2 util-linux socat openssl gzip

.PHONY: all deps build build-asan test demo clean format

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do \
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

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(BUILD_ASAN)/CMakeCache.txt
	cmake --build $(BUILD_ASAN) -j $(JOBS)

# The whole suite over a normal build and over an AddressSanitizer + UBSan build.
test: build build-asan
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cd $(BUILD_ASAN) && ctest --output-on-failure -j $(JOBS)

# The client on a simulated gateway, in private namespaces: the host's firewall
# and /tmp are never touched.
demo: build
	unshare --mount --net --propagation private tools/demo.sh $(BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf $(BUILD) $(BUILD_ASAN)
