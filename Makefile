# Two entry points: `make demo` and `make test`. Both set the machine up first.
JOBS    ?= $(shell nproc)
CMAKE_G := -G Ninja $(if $(shell command -v ccache),-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# ccache (when present) keys on paths relative to the checkout, so clones share one cache.
export CCACHE_BASEDIR := $(CURDIR)
BUILD   := build
ASAN    := build-asan
TSAN    := build-tsan
DEMO    := out/demo
KA_PY   := /usr/bin/python3
DEMO_SENTENCE ?= Hello! I am the demo avatar. I listen, and then I answer you, one word at a time.

.PHONY: setup build build-asan build-tsan test test-release test-asan test-tsan format-check demo bench install clean

setup:
	bash scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) $(CMAKE_G) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

build-asan: setup
	cmake -S . -B $(ASAN) $(CMAKE_G) -DCMAKE_BUILD_TYPE=Debug -DKA_SANITIZE=address,undefined
	cmake --build $(ASAN) -j $(JOBS)

build-tsan: setup
	cmake -S . -B $(TSAN) $(CMAKE_G) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKA_SANITIZE=thread
	cmake --build $(TSAN) -j $(JOBS)

test-release: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Leak checking stays on; ONNX Runtime's own process-lifetime allocations are not ours to report.
test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp \
	  ctest --test-dir $(ASAN) --output-on-failure -j $(JOBS)

# The threaded parts: test suites whose names say they exercise threads.
TSAN_FILTER ?= Concurrent|Threads|Pool
test-tsan: build-tsan
	TSAN_OPTIONS=halt_on_error=1:suppressions=$(CURDIR)/scripts/tsan.supp ctest --test-dir $(TSAN) --output-on-failure -j $(JOBS) -R '$(TSAN_FILTER)'

# Style is checked, never reviewed: every tracked C and C++ file must be as clang-format writes it.
format-check: setup
	git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror --style=file

test: format-check test-release test-asan test-tsan

demo: build
	rm -rf $(DEMO)
	$(KA_PY) tools/forge/forge.py demo $(DEMO)
	$(BUILD)/tools/ka info $(DEMO)/avatar.imx
	$(BUILD)/tools/ka render $(DEMO)/avatar.imx --drive --out $(DEMO)/idle_loop.mp4
	ffmpeg -v error -y -i $(DEMO)/idle_loop.mp4 -vf "select=eq(n\,14)" -frames:v 1 $(DEMO)/frame.png
	@echo "demo: $(DEMO)/idle_loop.mp4 (one frame: $(DEMO)/frame.png)"
	# The avatar speaks: espeak-ng says a sentence, an utterance session fed in real time turns it
	# into frames (audio-to-expression models forged into the bundle), the MP4 carries the speech;
	# the mouth's teeth are borrowed from a forged bank of drawn teeth.
	$(KA_PY) tools/forge/forge.py a2x $(DEMO)/bundle $(DEMO)/w2v
	$(KA_PY) tools/forge/forge.py tessera $(DEMO)/bundle --n 24 --teeth --fit
	espeak-ng -w $(DEMO)/speech.wav "$(DEMO_SENTENCE)"
	W2V_ONNX=$(CURDIR)/$(DEMO)/w2v/w2v.onnx $(BUILD)/tools/ka live $(DEMO)/bundle $(DEMO)/speech.wav \
	  --motion $(DEMO)/bundle --out $(DEMO)/talking.mp4 --realtime --teeth
	ffmpeg -v error -y -i $(DEMO)/talking.mp4 \
	  -vf "select=not(mod(n-20\,6))*gte(n\,20),crop=420:420:430:90,scale=140:140,tile=6x1" \
	  -frames:v 1 $(DEMO)/talking_strip.png
	@echo "demo: $(DEMO)/talking.mp4 (a strip of it: $(DEMO)/talking_strip.png)"
	@echo "demo: talk to it in a browser: $(BUILD)/tools/ka serve $(DEMO)/bundle --motion $(DEMO)/bundle --w2v $(DEMO)/w2v/w2v.onnx"
	@echo "      then open http://127.0.0.1:8080/ (loopback only; --host and --port change that)"

# The library, headers, `ka` tool, pkg-config file and CMake package, with ONNX Runtime beside the
# library: make install PREFIX=/opt/ka
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

bench: build
	@for b in $(BUILD)/bench/ka_bench_*; do echo "== $$b"; $$b --benchmark_repetitions=5 --benchmark_report_aggregates_only=true; done

clean:
	rm -rf $(BUILD) $(ASAN) $(TSAN) out
