# Fronts CMake. `make run` starts keysynth, `make test` runs every test, `make bench`
# prints the performance figures. Each installs what is missing first.
BUILD := build
# CI treats every warning as an error.
CMAKE_FLAGS := -DKEYSYNTH_WERROR=$(if $(CI),ON,OFF)

.PHONY: all deps build run test bench clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j2

run: build
	@if [ -x $(BUILD)/keysynth ]; then ./$(BUILD)/keysynth; else echo "keysynth is not built yet"; fi

test: build
	cd $(BUILD) && ctest --output-on-failure -j2

bench: build
	./$(BUILD)/bench/engine_bench
	./$(BUILD)/bench/fill_bench
	./$(BUILD)/bench/stream_bench

clean:
	rm -rf $(BUILD)
