# Thin front door over CMake.
BUILD      ?= build
BUILD_SAN  ?= build-sanitize
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
SAMPLE_IMG  = $(BUILD)/sample.img

.PHONY: all build run test test-sanitize clean fuzz

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

# make fuzz [MINUTES=5]: builds the fuzz targets with clang, coverage and
# the sanitizers in their own tree, and runs each for its share of MINUTES.
BUILD_FUZZ   ?= build-fuzz
MINUTES      ?= 5
FUZZ_TARGETS ?= label_mount walk read cp
fuzz:
	@cmake -S . -B $(BUILD_FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" >/dev/null
	@cmake --build $(BUILD_FUZZ) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	tests/fuzz/run_fuzz.sh $(BUILD_FUZZ) $(MINUTES) $(FUZZ_TARGETS)

clean:
	rm -rf $(BUILD) $(BUILD_SAN)
