# Set-up, build and tests on a Debian machine. Every target first installs, with apt-get,
# whatever of the build and test dependencies is missing.
BUILD ?= build
JOBS ?= 2
PACKAGES := g++ cmake make libboost-dev libssl-dev libgtest-dev googletest postfix util-linux \
    clang libclang-rt-14-dev iproute2 procps dpkg-dev debhelper lintian man-db jq \
    python3-prometheus-client
# make install puts the tool at $(DESTDIR)$(PREFIX)/admin/sbin/mail-restore and its manual
# page under $(DESTDIR)/usr/local/share/man; make deb builds the Debian package (debian/,
# dpkg-buildpackage) into $(BUILD)/deb and checks it with lintian.
PREFIX ?= /opt/vca
DESTDIR ?=
CMAKE_FLAGS := -DCMAKE_BUILD_TYPE=RelWithDebInfo $(if $(CI),-DCORVO_WERROR=ON)
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)
# Only make bench installs these.
BENCH_PACKAGES := libbenchmark-dev python3-matplotlib valgrind linux-perf
BENCH_BUILD ?= $(BUILD)-bench
BENCH_RESULTS := $(BENCH_BUILD)/bench-results
# The sanitized build, the fuzz build, and how long `make fuzz` (and the short run inside
# `make test`) runs each fuzz target, in seconds.
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5
# Every sanitizer report fails the sanitized pass: the reporting process stops, and its
# report lands in a file there, whichever process (tool, test, forked child) wrote it; the
# file is named after the program and its process id.
SANITIZER_REPORTS = $(CURDIR)/$(ASAN_BUILD)/sanitizer-reports
SANITIZER_ENV = ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:log_exe_name=1:log_path=$(SANITIZER_REPORTS)/asan \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_exe_name=1:log_path=$(SANITIZER_REPORTS)/ubsan

.PHONY: all deps build test test-sanitized fuzz-build fuzz fuzz-smoke install deb demo bench format tidy clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
	    echo "installing:" $$missing; \
	    echo "postfix postfix/main_mailer_type select No configuration" | $(SUDO) debconf-set-selections; \
	    $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -q && \
	    $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && $(SUDO) ctest --output-on-failure -j$(JOBS)
	$(MAKE) test-sanitized fuzz-smoke

# The whole suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitized: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DCORVO_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	$(SUDO) rm -rf $(SANITIZER_REPORTS) && mkdir -p $(SANITIZER_REPORTS)
	cd $(ASAN_BUILD) && $(SUDO) env $(SANITIZER_ENV) ctest --output-on-failure -j$(JOBS); \
	status=$$?; reports=$$(ls $(SANITIZER_REPORTS)); \
	[ -z "$$reports" ] || { cat $(SANITIZER_REPORTS)/*; echo "sanitizer reports:" $$reports; }; \
	[ $$status = 0 ] && [ -z "$$reports" ]

fuzz-build: deps
	cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	    $(if $(CI),-DCORVO_WERROR=ON)
	cmake --build $(FUZZ_BUILD) -j$(JOBS)

# Every fuzz target for FUZZ_SECONDS each; fails on any crash, leak or time-out.
fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SMOKE_SECONDS)

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

deb: deps
	rm -rf $(BUILD)/deb
	packaging/build-deb.sh $(BUILD)/deb $(JOBS)
	lintian --pedantic --fail-on error,warning $(BUILD)/deb/mail-restore_*.deb

demo: build
	$(SUDO) tests/sandbox $(CURDIR)/examples/demo.sh $(CURDIR)/$(BUILD)/bin/mail-restore \
	    $(CURDIR)/$(BUILD)/helpers $(CURDIR)/examples/domain.json

# Micro benchmarks, then whole runs in the sandbox; writes docs/PERFORMANCE.md and
# docs/performance.png. Takes a few minutes. BENCH_ALSO="NAME=BINARY ..." times other builds
# of the tool in the same rounds (an earlier commit's, for a before-and-after).
bench: deps
	@$(MAKE) --no-print-directory deps PACKAGES="$(BENCH_PACKAGES)"
	cmake -S . -B $(BENCH_BUILD) $(CMAKE_FLAGS) -DCORVO_BENCH=ON
	cmake --build $(BENCH_BUILD) -j$(JOBS) --target mail-restore mail-restore-check corvo_micro_bench \
	    measure_run replay_calls record_call sibling_exit
	cmake -S . -B $(BENCH_BUILD)-dynamic $(CMAKE_FLAGS) -DCORVO_STATIC_RUNTIME=OFF
	cmake --build $(BENCH_BUILD)-dynamic -j$(JOBS) --target mail-restore
	cmake -S . -B $(BENCH_BUILD)-unhardened $(CMAKE_FLAGS) -DCORVO_HARDENING=OFF
	cmake --build $(BENCH_BUILD)-unhardened -j$(JOBS) --target mail-restore
	mkdir -p $(BENCH_RESULTS)
	$(BENCH_BUILD)/bench/corvo_micro_bench --benchmark_repetitions=5 \
	    --benchmark_min_time=0.5 --benchmark_out=$(BENCH_RESULTS)/micro.json \
	    --benchmark_out_format=json
	$(SUDO) env BENCH_ALSO="dynamic=$(CURDIR)/$(BENCH_BUILD)-dynamic/bin/mail-restore \
	    unhardened=$(CURDIR)/$(BENCH_BUILD)-unhardened/bin/mail-restore $(BENCH_ALSO)" \
	    tests/sandbox $(CURDIR)/bench/run.sh $(CURDIR)/$(BENCH_BUILD)/bin/mail-restore \
	    $(CURDIR)/$(BENCH_BUILD)/bench $(CURDIR)/$(BENCH_RESULTS)
	$(SUDO) tests/sandbox $(CURDIR)/bench/audit.sh $(CURDIR)/$(BENCH_BUILD)/bin/mail-restore-check \
	    $(CURDIR)/$(BENCH_BUILD)/bench $(CURDIR)/$(BENCH_RESULTS)
	/usr/bin/python3 bench/report.py $(BENCH_RESULTS) docs

format:
	git ls-files '*.cpp' '*.h' '*.hpp' | xargs clang-format -i

tidy: build
	git ls-files '*.cpp' | grep -v '^tests/' | xargs clang-tidy -p $(BUILD) --quiet

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
