# Front door of the build: nobody needs to know the CMake presets.
#   make test    install what is missing, build every preset, run every test tier
#   make demo    the Windows flasher under Wine flashing the simulated phone (see README)
#   make demo-headless  the same job natively, on the in-memory window
#   make demo-linux  the Linux flasher's Qt window flashing an emulated phone through libusb
#   make demo-station  the station under Wine flashing eight simulated phones at once, and its record
#   make bench   benchmarks, ending with one "target NAME RATIO LIMIT met|missed" line per target
#   make windows the Windows programs: x64 in build/windows/bin, x86 in build/windows-x86/bin
#   make test-libusb  the Linux driver library against the emulated phone (native, asan, tsan)
#   make test-kernel-usb  the Linux driver library and flashers on the kernel's own USB stack, in a QEMU
#                machine with gadget phones (rigs/vm/README.md; CASES='Flasher.*' picks cases)
#   make test-stress  the asan, tsan and Wine tiers (x64 and x86) five times over (flaky tests show here)
PRESETS      := native asan tsan fuzz windows windows-x86
JOBS         ?= $(shell nproc)
FUZZ_SECONDS ?= 30

.PHONY: all deps test demo demo-headless demo-linux demo-station bench format check-format clean $(PRESETS) \
        test-native test-asan test-tsan test-windows test-windows-x86 test-fuzz \
        test-libusb test-kernel-usb test-stress

all: native

deps:
	@scripts/install-deps.sh

$(PRESETS): deps
	@cmake --preset $@ --log-level=WARNING >/dev/null
	@cmake --build --preset $@ -j $(JOBS)

# Both architectures: a flasher's base must have the architecture of the driver library it carries.
windows: windows-x86

test-native: native
	ctest --preset native -j $(JOBS)
test-asan: asan
	ctest --preset asan -j $(JOBS)
test-tsan: tsan
	ctest --preset tsan -j $(JOBS)
test-windows: windows
	ctest --preset windows -j $(JOBS)
# The x86 programs under the 32-bit Wine, in a 32-bit prefix of their own, after the x64 tier (on a
# kernel that runs no 32-bit programs, their files are checked and the Wine part says loudly why not).
test-windows-x86: windows-x86
	scripts/test-windows-x86.sh -j $(JOBS)
test-fuzz: fuzz
	scripts/run-fuzz.sh build/fuzz/bin $(FUZZ_SECONDS)
# The libusb driver library against the emulated phone, in the three native presets (make test runs
# these too, inside each preset's tier).
test-libusb: native asan tsan
	ctest --preset native -L libusb -j $(JOBS)
	ctest --preset asan -L libusb -j $(JOBS)
	ctest --preset tsan -L libusb -j $(JOBS)

# The kernel's own USB stack: one boot of a virtual machine runs the whole list (rigs/vm/tier.list). It
# runs alone, never beside another preset's parallel ctest: the machine wants both cores.
test-kernel-usb: native
	rigs/vm/vm.sh $(foreach c,$(CASES),--case '$(c)')

# The sanitizer tiers and the Wine tier five times over, each test until it fails: a flaky test shows here
# before it refuses a submission at random. Not part of make test, to keep CI fast. Where the x86 tier
# runs in the test machine (a kernel without 32-bit programs), five runs there take hours:
# TARNEX_X86_VM=0 leaves them out, loudly.
test-stress: asan tsan windows windows-x86
	ctest --preset asan -j $(JOBS) --repeat until-fail:5
	ctest --preset tsan -j $(JOBS) --repeat until-fail:5
	ctest --preset windows -j $(JOBS) --repeat until-fail:5
	scripts/test-windows-x86.sh -j $(JOBS) --repeat until-fail:5
	@echo "make test-stress: the asan, tsan and Wine tiers passed five times over"

test: test-native test-asan test-tsan test-windows test-windows-x86 test-fuzz
	@$(MAKE) --no-print-directory test-kernel-usb
	@echo "make test: every tier passed"

demo: deps
	scripts/demo.sh

demo-headless: deps
	scripts/demo-headless.sh

demo-linux: deps
	scripts/demo-linux.sh

demo-station: deps
	scripts/demo-station.sh

bench: native
	scripts/bench.sh build/native/bin

format:
	git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format -i

check-format:
	git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format --dry-run -Werror

clean:
	rm -rf build
