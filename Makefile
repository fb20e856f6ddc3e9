# SPDX-License-Identifier: Apache-2.0
# The two commands of the README, and the helpers around them.
#   make test   install what is missing, build and run every test: x86-64,
#               32-bit x86 (under qemu-i386), AddressSanitizer with
#               UndefinedBehaviorSanitizer, and ThreadSanitizer
#   make demo   install only what the program needs, build only the program
#               and the plug-in, and render the built-in scene through the
#               default lens
#   make install PREFIX=P   install realcam, the plug-in, the lenses, the
#               host interface headers and library, the C interface
#               librealcam and the Python module under P (default /usr/local)
#   make package  build the Debian package realcam_<version>_<arch>.deb
#   make bench  build and run the benchmarks (not part of the tests)
#   make browser-test  load realcam report pages of three bundled lenses in
#               headless Chromium: no network request, no console error,
#               every plot drawn (not part of make test: Chromium is large)
#   make fuzz   run the fuzzers of the prescription loader and the two importers
#               (.zmx, .seq, patent tables) for a bounded time each

JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 60

.PHONY: all deps native m32 asan tsan test demo release install package bench browser-test fuzz clean

all: native

deps:
	@scripts/install-deps test

# build/<name>: configure once, then build.
define configure_and_build
	cmake -S . -B build/$(1) $(2) $(CMAKE_FLAGS) >/dev/null
	cmake --build build/$(1) -j $(JOBS)
endef

# The test builds keep line tables only (-g1): backtraces and sanitizer
# reports name files and lines, and full debug information, which changes
# no instruction, took a third of the x86-64 build's time.
LINE_TABLES = "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"

native: deps
	$(call configure_and_build,native,-DCMAKE_BUILD_TYPE=RelWithDebInfo $(LINE_TABLES))

m32: deps
	$(call configure_and_build,m32,-DCMAKE_TOOLCHAIN_FILE=cmake/m32.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LINE_TABLES))

# -O1 with line tables: instrumented -O2 with full debug information took
# half of a clean make test to compile, for no more findings.
asan: deps
	$(call configure_and_build,asan,-DREALCAM_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g1 -O1")

# Only the multi-threaded tests run under ThreadSanitizer (ctest -L threads),
# so only they are built.
tsan: deps
	cmake -S . -B build/tsan -DREALCAM_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LINE_TABLES) $(CMAKE_FLAGS) >/dev/null
	cmake --build build/tsan -j $(JOBS) --target camera_threads_test render_test

test: native m32 asan tsan
	ctest --test-dir build/native --output-on-failure -j $(JOBS)
	ctest --test-dir build/m32 --output-on-failure -j $(JOBS)
	ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --test-dir build/asan --output-on-failure -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j $(JOBS) -L threads

# The program and the plug-in alone, without the tests and their packages.
release:
	@scripts/install-deps demo
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DREALCAM_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build build/release -j $(JOBS) --target realcam realistic realcam_core_shared

demo: release
	@mkdir -p out
	build/release/bin/realcam render -o out/demo.png

# realcam report in a real browser.
browser-test: release
	@scripts/install-deps browser
	@mkdir -p build/browser
	for lens in planar-50mm-f2 double-gauss-100mm-f2 mirror-1000mm-f7.5; do \
	  build/release/bin/realcam report $$lens -o build/browser/$$lens.html || exit 1; done
	/usr/bin/python3 tests/browser/check_report.py tests/browser/harness.html build/browser/planar-50mm-f2.html \
	  build/browser/double-gauss-100mm-f2.html build/browser/mirror-1000mm-f7.5.html

# Everything installed: the C interface and the Python module too.
install: release
	cmake --build build/release -j $(JOBS)
	cmake --install build/release --prefix $(PREFIX)

package:
	@scripts/install-deps package
	cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DREALCAM_TESTS=OFF $(CMAKE_FLAGS) >/dev/null
	cmake --build build/package -j $(JOBS)
	cd build/package && cpack
	@ls build/package/*.deb

bench:
	@scripts/install-deps bench
	$(call configure_and_build,bench,-DCMAKE_BUILD_TYPE=Release -DREALCAM_BENCH=ON)
	$(call configure_and_build,bench-m32,-DCMAKE_TOOLCHAIN_FILE=cmake/m32.cmake -DCMAKE_BUILD_TYPE=Release -DREALCAM_BENCH=ON)
	build/bench/bin/realcam_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
	build/bench/bin/realcam_render_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
	build/bench/bin/realcam_scene_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
	PYTHONPATH=build/bench/python /usr/bin/python3 bench/bench_python.py build/bench/bin/librealcam.so
	@echo "32-bit x86, under qemu-i386 (emulated: compare these with each other, not with x86-64):"
	qemu-i386 -L / build/bench-m32/bin/realcam_bench --benchmark_filter='Trace|double-gauss|double_gauss' \
	  --benchmark_repetitions=3 --benchmark_report_aggregates_only=true

fuzz: deps
	cmake -S . -B build/fuzz -DREALCAM_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DREALCAM_HOST=OFF \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	cmake --build build/fuzz -j $(JOBS) --target lens_fuzzer zmx_fuzzer seq_fuzzer patent_fuzzer
	@mkdir -p build/fuzz/corpus build/fuzz/corpus_zmx build/fuzz/corpus_seq build/fuzz/corpus_patent
	build/fuzz/bin/lens_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=5 -artifact_prefix=build/fuzz/ \
	  build/fuzz/corpus tests/fuzz_corpus
	build/fuzz/bin/zmx_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=5 -artifact_prefix=build/fuzz/zmx- \
	  build/fuzz/corpus_zmx tests/fuzz_corpus_zmx
	build/fuzz/bin/seq_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=5 -artifact_prefix=build/fuzz/seq- \
	  build/fuzz/corpus_seq tests/fuzz_corpus_seq
	build/fuzz/bin/patent_fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=5 -artifact_prefix=build/fuzz/patent- \
	  build/fuzz/corpus_patent tests/fuzz_corpus_patent

clean:
	rm -rf build out
