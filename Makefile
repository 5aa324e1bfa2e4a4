# Quick start: `make run` and `make test`. Both install what is missing (Debian 12), then build.
# dbus-daemon: the tests run the production sleep protection against a private message bus.
PACKAGES := cmake ninja-build g++ pkg-config nlohmann-json3-dev libplist-dev libpcre2-dev \
            libssl-dev uuid-dev libsystemd-dev libgtest-dev libgmock-dev libbenchmark-dev dbus-daemon
# Only the fuzz targets need clang and its fuzzer runtime; `make test` replays the corpora without them.
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev
# Only `make coverage` needs gcovr.
COVERAGE_PACKAGES := gcovr
BUILD_DIR ?= build
TEST_BUILD_DIR ?= build-test
TSAN_BUILD_DIR ?= build-tsan
FUZZ_BUILD_DIR ?= build-fuzz
COVERAGE_BUILD_DIR ?= build-coverage
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := frame_reader service_requests property_list runtime_stamp signature_block team_certificate \
                world_file json_document lsof_field_records process_commands attached_image_list fan_recovery_record smc_replies applesmc_files preparation_manifest launchd_item \
                quarantine_manifest process_listing payload_metadata payload_attachment image_description hybrid_package \
                installer_identity virtual_disk_info installer_attachments \
                diskutil_inventory media_progress rescue_start_request installer_deletion_record tool_group_record
JOBS ?= $(shell nproc)
# Instrumented compiles are slow and large: at most two at a time.
TSAN_JOBS ?= 2
# Every process of the run (tests and the programs they start) writes its reports
# here; a report fails the test that saw it (exit code 66) and the run as a whole.
TSAN_REPORTS = $(CURDIR)/$(TSAN_BUILD_DIR)/tsan-reports
TSAN_RUN_OPTIONS = halt_on_error=1 exitcode=66 second_deadlock_stack=1 log_path=$(TSAN_REPORTS)/report

.PHONY: deps build run test tsan coverage coverage-deps bench bench-runner bench-snapshot bench-copy clean fuzz-deps fuzz-build fuzz $(addprefix fuzz-,$(FUZZ_TARGETS))

deps: WANTED = $(PACKAGES)
fuzz-deps: WANTED = $(PACKAGES) $(FUZZ_PACKAGES)
coverage-deps: WANTED = $(PACKAGES) $(COVERAGE_PACKAGES)
deps fuzz-deps coverage-deps:
	@missing=""; for p in $(WANTED); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
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

tsan: deps
	cmake -S . -B $(TSAN_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTIDEWARDEN_TSAN=ON -DTIDEWARDEN_BUILD_BENCH=OFF >/dev/null
	cmake --build $(TSAN_BUILD_DIR) -j $(TSAN_JOBS)
	rm -rf $(TSAN_REPORTS) && mkdir -p $(TSAN_REPORTS)
	cd $(TSAN_BUILD_DIR) && TSAN_OPTIONS="$(TSAN_RUN_OPTIONS)" ctest --output-on-failure -j $(TSAN_JOBS); \
	status=$$?; \
	if ls $(TSAN_REPORTS)/report.* >/dev/null 2>&1; then \
	  cat $(TSAN_REPORTS)/report.*; echo "ThreadSanitizer reports: $(TSAN_REPORTS)"; exit 1; \
	fi; exit $$status

# The suite built with gcc's coverage instrumentation in its own directory and run once; then
# line and branch coverage per source folder, and an HTML report. Counts from earlier runs are
# cleared first. Throw and unreachable branches are left out: they are the compiler's, not ours.
# The counters' own complaints (a test that runs a deliberately altered copy of a program makes
# them disagree) go to a file instead of the standard error the tests compare.
COVERAGE_REPORT = $(COVERAGE_BUILD_DIR)/coverage
coverage: coverage-deps
	cmake -S . -B $(COVERAGE_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTIDEWARDEN_COVERAGE=ON -DTIDEWARDEN_BUILD_BENCH=OFF >/dev/null
	cmake --build $(COVERAGE_BUILD_DIR) -j $(JOBS)
	find $(COVERAGE_BUILD_DIR) -name '*.gcda' -delete
	rm -rf $(COVERAGE_REPORT) && mkdir -p $(COVERAGE_REPORT)
	cd $(COVERAGE_BUILD_DIR) && GCOV_ERROR_FILE=$(CURDIR)/$(COVERAGE_REPORT)/gcov-errors.txt \
	  ctest --output-on-failure -j $(JOBS); status=$$?; cd $(CURDIR); \
	gcovr --root . --object-directory $(COVERAGE_BUILD_DIR) -j $(JOBS) \
	  --filter '$(CURDIR)/src/' --filter '$(CURDIR)/sim/' --filter '$(CURDIR)/client/' \
	  --exclude-throw-branches --exclude-unreachable-branches --gcov-ignore-parse-errors \
	  --json-summary $(COVERAGE_REPORT)/summary.json --html-details $(COVERAGE_REPORT)/index.html || exit 1; \
	python3 scripts/coverage-summary.py $(COVERAGE_REPORT)/summary.json; \
	echo "HTML report: $(COVERAGE_REPORT)/index.html"; exit $$status

bench: build
	$(BUILD_DIR)/bench/tidewarden-bench-ping

# One scoped-command run beside a bare posix_spawn + waitpid of /usr/bin/true.
bench-runner: build
	$(BUILD_DIR)/bench/tidewarden-bench-runner

bench-snapshot: build
	$(BUILD_DIR)/bench/tidewarden-bench-snapshot

# The private package snapshot copy of 1 GiB beside cp + sync, and the ratio of their throughputs.
bench-copy: build
	$(BUILD_DIR)/bench/tidewarden-bench-copy

# libFuzzer with ASan/UBSan in its own build directory; each target runs FUZZ_SECONDS on a
# scratch copy of its corpus (fuzz/corpus is never written); findings go to
# $(FUZZ_BUILD_DIR)/artifacts/<target>/.
fuzz-build: fuzz-deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTIDEWARDEN_FUZZ=ON -DTIDEWARDEN_BUILD_TESTS=OFF -DTIDEWARDEN_BUILD_BENCH=OFF >/dev/null
	cmake --build $(FUZZ_BUILD_DIR) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))

fuzz: fuzz-build
	@for t in $(FUZZ_TARGETS); do fuzz/run.sh $(FUZZ_BUILD_DIR) $$t $(FUZZ_SECONDS) || exit 1; done

$(addprefix fuzz-,$(FUZZ_TARGETS)): fuzz-%: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD_DIR) $* $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR) $(TEST_BUILD_DIR) $(TSAN_BUILD_DIR) $(FUZZ_BUILD_DIR) $(COVERAGE_BUILD_DIR)
