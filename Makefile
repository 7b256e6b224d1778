# Fronts CMake. `make run` starts keysynth, `make test` runs every test (plain, then
# under AddressSanitizer with UndefinedBehaviorSanitizer, then under ThreadSanitizer),
# `make bench` prints the performance figures. Each installs what is missing first.
BUILD := build
# CI treats every warning as an error.
CMAKE_FLAGS := -DKEYSYNTH_WERROR=$(if $(CI),ON,OFF)
CTEST := ctest --output-on-failure -j2 --timeout 300

# Any sanitizer report fails the run.
export ASAN_OPTIONS := halt_on_error=1:detect_leaks=1:strict_string_checks=1
export UBSAN_OPTIONS := halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS := halt_on_error=1:second_deadlock_stack=1

.PHONY: all deps build run test test-plain test-asan test-tsan test-fuzz bench soak clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j2

run: build
	@if [ -x $(BUILD)/keysynth ]; then ./$(BUILD)/keysynth; else echo "keysynth is not built yet"; fi

test: test-plain test-fuzz test-asan test-tsan

test-plain: build
	cd $(BUILD) && $(CTEST)

test-asan: deps
	cmake -S . -B build-asan $(CMAKE_FLAGS) -DKEYSYNTH_SANITIZE=address -DKEYSYNTH_BENCH=OFF
	cmake --build build-asan -j2
	cd build-asan && $(CTEST)

test-tsan: deps
	cmake -S . -B build-tsan $(CMAKE_FLAGS) -DKEYSYNTH_SANITIZE=thread -DKEYSYNTH_BENCH=OFF
	cmake --build build-tsan -j2
	cd build-tsan && $(CTEST)

# A short fixed-time run of the fuzzer (clang's libFuzzer). New inputs go to a corpus
# in the build folder; the small seed corpus in the repository is only read.
test-fuzz: deps
	cmake -S . -B build-fuzz $(CMAKE_FLAGS) -DCMAKE_CXX_COMPILER=clang++ -DKEYSYNTH_SANITIZE=fuzzer -DKEYSYNTH_BENCH=OFF
	cmake --build build-fuzz -j2 --target keysynth_fuzz
	mkdir -p build-fuzz/corpus
	./build-fuzz/tests/fuzz/keysynth_fuzz -max_total_time=60 -max_len=512 -print_final_stats=1 build-fuzz/corpus tests/fuzz/corpus

bench: build
	./$(BUILD)/bench/engine_bench
	./$(BUILD)/bench/fill_bench
	./$(BUILD)/bench/stream_bench
	tests/support/pulse-null-sink.sh -- bench/cpu_share.py $(BUILD)/keysynth

# Not part of `make test`: random window and console keys on ALSA into a PulseAudio null
# sink with the other core busy, then the underruns and the memory growth.
# SOAK_SECONDS=120 shortens it.
soak: build
	/usr/bin/python3 tests/soak/soak.py --binary $(BUILD)/keysynth --support tests/support \
	    --duration $(or $(SOAK_SECONDS),600)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
