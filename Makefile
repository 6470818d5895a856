# Thin front door over CMake.
BUILD      ?= build
BUILD_SAN  ?= build-sanitize
BUILD_BENCH ?= build-bench
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
SAMPLE_IMG  = $(BUILD)/sample.img

.PHONY: all build run test test-sanitize bench clean

all: build

build:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

$(SAMPLE_IMG): build $(shell find samples -type f 2>/dev/null)
	$(BUILD)/mksunimg --tree samples/tree -o $(SAMPLE_IMG) --ncyl 64 --owner 1001:20 --time 700000000 --label "SAMPLE DISK cyl 64 alt 2 hd 16 sec 32"

run: build $(SAMPLE_IMG)
	$(BUILD)/sunufs -p 0 $(SAMPLE_IMG)

test: build
	cd $(BUILD) && TZ=UTC ctest --output-on-failure -j $(JOBS)

test-sanitize:
	@cmake -S . -B $(BUILD_SAN) -DCMAKE_BUILD_TYPE=Debug -DSUNUFS_SANITIZE=ON >/dev/null
	@cmake --build $(BUILD_SAN) -j $(JOBS)
	cd $(BUILD_SAN) && TZ=UTC ctest --output-on-failure -j $(JOBS)

# Times sunufs against The Sleuth Kit and cat on images built for the run.
bench:
	@cmake -S . -B $(BUILD_BENCH) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD_BENCH) -j $(JOBS) --target sunufs
	python3 tools/bench/bench.py $(BUILD_BENCH)/sunufs

clean:
	rm -rf $(BUILD) $(BUILD_SAN)
