# The two commands of the README, and a few more for developers.
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
BENCH_BUILD ?= build-bench
JOBS ?= $(shell nproc)
# make fuzz: seconds each fuzz target runs, and which targets; the budget
# of one input (seconds, and peak memory in MB), beyond which it is a finding.
FUZZ_TIME ?= 60
FUZZ_TARGETS ?= module messages telnet negotiation terminal web
FUZZ_BUDGET ?= -timeout=60 -rss_limit_mb=1536

# How the sanitizers report when the sanitizer build's programs run: every
# finding fails, leaks included (nothing is suppressed).
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:check_initialization_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
FUZZ_ENV = $(SANITIZER_ENV) ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer

.PHONY: all setup build sanitize run test fuzz bench install deb clean

all: build

setup:
	@scripts/bootstrap

$(BUILD)/build.ninja: CMakeLists.txt
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/bin/bbshost --data data --ssh-port 2222 --http-port 8080 --metrics-port 9323

# make install [PREFIX=/usr/local] [DESTDIR=...]: bbshost, its libraries, the
# config templates, the manual page, the systemd unit and the logrotate
# snippet (see docs/sysop.md). make deb [PLUS_MAINTAINER="Name <address>"]:
# the Debian package of the same, in $(BUILD), with that Maintainer (kept in
# the build's cache for later packages).
PREFIX ?= /usr/local
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

deb: build
	$(if $(PLUS_MAINTAINER),cmake -S . -B $(BUILD) -DPLUS_MAINTAINER="$(PLUS_MAINTAINER)")
	cd $(BUILD) && cpack -G DEB

# The same project built with AddressSanitizer (LeakSanitizer included) and
# UndefinedBehaviorSanitizer.
$(ASAN_BUILD)/build.ninja: CMakeLists.txt
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLUS_SANITIZE=ON

sanitize: setup $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The whole suite twice: plain, then under the sanitizers. Both replay the
# fuzz corpus (tests/fuzz/corpus).
test: build sanitize
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600
	cd $(ASAN_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS) --timeout 600

# libFuzzer (clang): each target of tests/fuzz runs FUZZ_TIME seconds from
# its committed corpus; what it learns stays in $(FUZZ_BUILD)/corpus, what
# it finds lands in $(FUZZ_BUILD)/findings.
$(FUZZ_BUILD)/build.ninja: CMakeLists.txt
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DPLUS_SANITIZE=ON -DPLUS_FUZZ=ON

fuzz:
	@scripts/bootstrap fuzz
	@$(MAKE) --no-print-directory $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_programs
	@found=""; for t in $(FUZZ_TARGETS); do \
		mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/findings; \
		echo "fuzz: $$t for $(FUZZ_TIME) s"; \
		$(FUZZ_ENV) $(FUZZ_BUILD)/bin/$${t}_fuzz -max_total_time=$(FUZZ_TIME) -print_final_stats=1 $(FUZZ_BUDGET) \
			-dict=$(CURDIR)/tests/fuzz/$$t.dict -artifact_prefix=$(abspath $(FUZZ_BUILD))/findings/$$t- \
			$(abspath $(FUZZ_BUILD))/corpus/$$t $(CURDIR)/tests/fuzz/corpus/$$t || found="$$found $$t"; \
	done; \
	if [ -n "$$found" ]; then echo "fuzz: findings of$$found in $(FUZZ_BUILD)/findings"; exit 1; fi; \
	echo "fuzz: no findings"

bench: setup
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DPLUS_BENCH=ON -DPLUS_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(BENCH_BUILD)/bin/plus_bench

clean:
	rm -rf $(BUILD) $(BENCH_BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
