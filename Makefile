# Quick start: `make run` and `make test`. Both install what is missing (Debian 12), then build.
PACKAGES := cmake ninja-build g++ pkg-config nlohmann-json3-dev libplist-dev libpcre2-dev \
            libssl-dev uuid-dev libsystemd-dev libgtest-dev libgmock-dev libbenchmark-dev
BUILD_DIR ?= build
TEST_BUILD_DIR ?= build-test
JOBS ?= $(shell nproc)

.PHONY: deps build run test bench clean

deps:
	@missing=""; for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=""; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIDEWARDEN_BUILD_TESTS=OFF >/dev/null
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	@scripts/tour.sh $(BUILD_DIR)

test: deps
	cmake -S . -B $(TEST_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTIDEWARDEN_SANITIZE=ON >/dev/null
	cmake --build $(TEST_BUILD_DIR) -j $(JOBS)
	cd $(TEST_BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

bench: build
	$(BUILD_DIR)/bench/tidewarden-bench-ping

clean:
	rm -rf $(BUILD_DIR) $(TEST_BUILD_DIR)
