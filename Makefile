# Thin front door over CMake.
BUILD      ?= build
BUILD_SAN  ?= build-sanitize
BUILD_BENCH ?= build-bench
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PREFIX     ?= /usr/local
SAMPLE_IMG  = $(BUILD)/sample.img
CONFIGURE   = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

# No "Entering directory" lines from the make that CMake runs underneath.
MAKEFLAGS  += --no-print-directory

.PHONY: all
all: build

# Everything, tests included.
.PHONY: build
build:
	@$(CONFIGURE)
	@cmake --build $(BUILD) -j $(JOBS)

# Only the two programs that `make run` needs.
.PHONY: programs
programs:
	@$(CONFIGURE)
	@cmake --build $(BUILD) -j $(JOBS) --target sunufs mksunimg

# The sample image is made again only when the sample tree or the image
# builder changed.
$(SAMPLE_IMG): $(shell find samples tools -type f 2>/dev/null) | programs
	@$(BUILD)/mksunimg --tree samples/tree -o $(SAMPLE_IMG) --ncyl 64 --owner 1001:20 --time 700000000 --label "SAMPLE DISK cyl 64 alt 2 hd 16 sec 32"

.PHONY: sample
sample: programs $(SAMPLE_IMG)

# A session's status tells whether a command failed; that is the session's
# business, not a failure of make.
.PHONY: run
run: programs $(SAMPLE_IMG)
	@$(BUILD)/sunufs -p 0 $(SAMPLE_IMG) || true

.PHONY: test
test: build
	@test -f $(BUILD)/tests/CTestTestfile.cmake || { \
	  echo "make test: GoogleTest is missing; install it with: apt-get install libgtest-dev" >&2; exit 1; }
	@cd $(BUILD) && TZ=UTC ctest --output-on-failure -j $(JOBS)

.PHONY: test-sanitize
test-sanitize:
	@cmake -S . -B $(BUILD_SAN) -DCMAKE_BUILD_TYPE=Debug -DSUNUFS_SANITIZE=ON >/dev/null
	@cmake --build $(BUILD_SAN) -j $(JOBS)
	@cd $(BUILD_SAN) && TZ=UTC ctest --output-on-failure -j $(JOBS)

# make install [PREFIX=/usr/local] [DESTDIR=/staging]: the program and its
# manual page.
.PHONY: install
install: programs
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

.PHONY: uninstall
uninstall:
	rm -f "$(DESTDIR)$(PREFIX)/bin/sunufs" "$(DESTDIR)$(PREFIX)/share/man/man1/sunufs.1"

.PHONY: fuzz
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

.PHONY: bench
# Times sunufs against The Sleuth Kit and cat on images built for the run.
bench:
	@cmake -S . -B $(BUILD_BENCH) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD_BENCH) -j $(JOBS) --target sunufs
	python3 tools/bench/bench.py $(BUILD_BENCH)/sunufs

.PHONY: clean
clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_FUZZ) $(BUILD_BENCH)
