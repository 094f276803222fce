# Build flavours live in separate trees so they never rebuild each other.
#   make test   - plain build + all tests, then ASan+UBSan build + all tests,
#                 then TSan build + the tests labelled "threads", then a clang
#                 build (lock annotations checked) and a short fuzz run
#   make build  - plain build only (optimised, assertions kept)
JOBS   ?= $(shell nproc)
# seconds each fuzz target runs within `make test` (`make fuzz` alone: FUZZ_TIME)
TEST_FUZZ_TIME ?= 10
CMAKE  ?= cmake
GEN    := -G Ninja
CTEST_FLAGS := --output-on-failure -j $(JOBS) --timeout 600

.PHONY: all build test test-plain test-asan test-tsan check-clang run clean format

# $(call tree,NAME,CMAKE OPTIONS): configure and build the tree build/NAME
# (a Debug build unless the options name another type)
tree = $(CMAKE) -S . -B build/$(1) $(GEN) -DCMAKE_BUILD_TYPE=Debug $(2) && \
       $(CMAKE) --build build/$(1) -j $(JOBS)
# the sanitizer trees need no benchmarks or tools
SAN_TREE := -DQOR_BUILD_BENCH=OFF -DQOR_BUILD_TOOLS=OFF

all: build

# optimised, with assertions: the code as operators build it, and the benchmarks
build:
	$(call tree,plain,-DCMAKE_BUILD_TYPE=RelWithDebInfo)

test-plain: build
	ctest --test-dir build/plain $(CTEST_FLAGS)

test-asan:
	$(call tree,asan,-DQOR_SANITIZE=address $(SAN_TREE))
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build/asan $(CTEST_FLAGS)

# only the threaded tests are built in this tree
test-tsan:
	$(call tree,tsan,-DQOR_SANITIZE=thread -DQOR_TEST_LABEL=threads $(SAN_TREE))
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir build/tsan $(CTEST_FLAGS) --no-tests=ignore

# clang build of everything: its -Wthread-safety checks the lock annotations.
check-clang:
	$(call tree,clang,-DCMAKE_CXX_COMPILER=clang++ -DQOR_BUILD_BENCH=OFF)

test: test-plain test-asan test-tsan check-clang
	$(MAKE) fuzz FUZZ_TIME=$(TEST_FUZZ_TIME)

# The server in debug mode on the sample configuration, log on standard
# output; Ctrl-C stops it. Relative names are the program's directory's, so
# the run directory gets its own copy of the program next to its
# configuration and data files (kept between runs; delete it to start anew).
RUN_DIR ?= build/run
run:
	$(CMAKE) -S . -B build/plain $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build/plain -j $(JOBS) --target QORServerConsole
	@$(CMAKE) --build build/plain -j $(JOBS) --target qor_client >/dev/null 2>&1 || true
	mkdir -p $(RUN_DIR)
	cp build/plain/QORServerConsole $(RUN_DIR)/
	@for f in server.ini networks.cfg; do [ -f $(RUN_DIR)/$$f ] || cp examples/$$f $(RUN_DIR)/; done
	@for f in mutes blocks admins rights modes notices owner; do \
	  [ -f $(RUN_DIR)/$$f.dat ] || : > $(RUN_DIR)/$$f.dat; done
	cd $(RUN_DIR) && exec ./QORServerConsole debug

format:
	find platform foundation sockets protocol server networks control sysman tests bench tools \
	  -name '*.h' -o -name '*.cpp' 2>/dev/null | xargs -r clang-format -i

clean:
	rm -rf build

# Fuzz every parser of network or file input with libFuzzer (clang), each
# target for FUZZ_TIME seconds; committed seeds in tests/fuzz/corpus/<target>
# are read, new inputs go to the build tree.
FUZZ_TIME ?= 20
.PHONY: fuzz
fuzz:
	$(CMAKE) -S tests/fuzz -B build/fuzz $(GEN) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug
	$(CMAKE) --build build/fuzz -j $(JOBS)
	@set -e; for t in build/fuzz/*_fuzz; do \
	  n=$$(basename $$t); mkdir -p build/fuzz/corpus/$$n; \
	  seeds=""; [ -d tests/fuzz/corpus/$$n ] && seeds=tests/fuzz/corpus/$$n; \
	  echo "== $$t"; \
	  $$t -max_total_time=$(FUZZ_TIME) -print_final_stats=1 build/fuzz/corpus/$$n $$seeds; \
	done

# Relay benchmark: the bare fan-out relay and the server (when it is built) on
# this machine in one run at 100 and 1,000 listeners with stations as they are
# (keep-alives at their own phases, full client lists), the server/bare
# ratios, and a run with stations joining and leaving during the talk
# (tools/bench_relay.sh; FRAMES, RATE, SIZES, THREADS, CHURN, PIN tune it).
.PHONY: bench-relay
bench-relay: build
	tools/bench_relay.sh

# Scale benchmark: 10,000 idle stations held by the built server; prints the
# connects-and-handshakes per second and the server's memory per station in
# every run, then the idle CPU for 1,000 members
# (tools/bench_scale.sh; CLIENTS, RUNS, HOLD_MS, THREADS, IDLE, IDLE_MS tune it).
.PHONY: bench-scale
bench-scale: build
	tools/bench_scale.sh
