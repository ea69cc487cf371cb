# Top-level entry points. `make test` and `make demo` work on a fresh machine.
JOBS      ?= 2
BUILD     ?= build
ASAN      ?= build-asan
FUZZ      ?= build-fuzz
FUZZ_SECS ?= 10
CMAKE_GEN := -G Ninja

.PHONY: all deps build test test-normal test-asan fuzz fuzz-smoke demo bench clean format

all: build

deps:
	@bash scripts/deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

test-normal: build
	ctest --test-dir $(BUILD) -j$(JOBS) -LE slow --output-on-failure --timeout 300

test-asan: deps
	cmake -S . -B $(ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DZQ_SANITIZE=ON -DZQ_BENCH=OFF
	cmake --build $(ASAN) -j$(JOBS)
	ctest --test-dir $(ASAN) -j$(JOBS) -LE slow --output-on-failure --timeout 600

fuzz: deps
	@if command -v clang++ >/dev/null; then \
	  cmake -S . -B $(FUZZ) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
	    -DCMAKE_CXX_COMPILER=clang++ -DZQ_FUZZ=ON -DZQ_TESTS=OFF -DZQ_BENCH=OFF && \
	  cmake --build $(FUZZ) -j$(JOBS); \
	else echo "fuzz: clang not found, fuzz targets not built"; fi

fuzz-smoke: fuzz
	@bash scripts/fuzz-smoke.sh $(FUZZ) $(FUZZ_SECS)

test: test-normal test-asan fuzz-smoke

bench: build
	@bash scripts/bench.sh $(BUILD)

demo: build
	@bash scripts/demo.sh $(BUILD)

format:
	find src tests bench fuzz -name '*.cc' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN) $(FUZZ)
