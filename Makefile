# Front door of the build: nobody needs to know the CMake presets.
#   make test    install what is missing, build every preset, run every test tier
#   make demo    the Windows flasher under Wine flashing the simulated phone (see README)
#   make demo-headless  the same job natively, on the in-memory window
#   make bench   benchmarks, ending with one "target NAME RATIO LIMIT met|missed" line per target
#   make windows the Windows programs in build/windows/bin
#   make test-libusb  the Linux driver library against the emulated phone (native, asan, tsan)
PRESETS      := native asan tsan fuzz windows
JOBS         ?= $(shell nproc)
FUZZ_SECONDS ?= 30

.PHONY: all deps test demo demo-headless bench format check-format clean $(PRESETS) \
        test-native test-asan test-tsan test-windows test-fuzz test-libusb

all: native

deps:
	@scripts/install-deps.sh

$(PRESETS): deps
	@cmake --preset $@ --log-level=WARNING >/dev/null
	@cmake --build --preset $@ -j $(JOBS)

test-native: native
	ctest --preset native -j $(JOBS)
test-asan: asan
	ctest --preset asan -j $(JOBS)
test-tsan: tsan
	ctest --preset tsan -j $(JOBS)
test-windows: windows
	ctest --preset windows -j $(JOBS)
test-fuzz: fuzz
	scripts/run-fuzz.sh build/fuzz/bin $(FUZZ_SECONDS)
# The libusb driver library against the emulated phone, in the three native presets (make test runs
# these too, inside each preset's tier).
test-libusb: native asan tsan
	ctest --preset native -L libusb -j $(JOBS)
	ctest --preset asan -L libusb -j $(JOBS)
	ctest --preset tsan -L libusb -j $(JOBS)

test: test-native test-asan test-tsan test-windows test-fuzz
	@echo "make test: every tier passed"

demo: deps
	scripts/demo.sh

demo-headless: deps
	scripts/demo-headless.sh

bench: native
	scripts/bench.sh build/native/bin

format:
	git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format -i

check-format:
	git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format --dry-run -Werror

clean:
	rm -rf build
