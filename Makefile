# Front end: every target runs inside the CPython 3.14 environment
# (tools/devenv.sh uses the host's python3.14 when it has one).  Building and
# serving need its first layer only; tests add the second on first use.
DEV := tools/devenv.sh run
DEVTEST := tools/devenv.sh run --tests

.PHONY: build test test-android hardening foreign demo wheels wheel-dev wheel-compiled sdist wheels-portable dist check-dist clean

build:
	$(DEV) tools/build.sh

test:
	$(DEVTEST) tools/test.sh

# The set of tests marked `android` (left out of `make test`): server, page,
# restart, helper and the source package built by pip with clang, run under
# Android's rules (tools/android-profile.sh; README, Termux).
test-android:
	$(DEVTEST) tools/test.sh -m android

# Memory-error, reference-leak, fuzzing and portability checks (see docs/hardening.md).
hardening:
	$(DEVTEST) tools/variant.sh asan
	$(DEVTEST) tools/variant.sh debug
	$(DEVTEST) tools/variant.sh fuzz
	$(DEVTEST) tools/variant.sh fuzz-credential
	$(DEVTEST) tools/variant.sh clang
	$(DEVTEST) tools/variant.sh portable
	tools/variant.sh aarch64  # on the host: it builds and enters its own roots

# Windows and macOS, built here (tools/foreign.sh): Windows x64 with
# MinGW-w64 and the helper program run under wine; every file compiled for
# macOS with zig's clang.  On the host: it installs its own toolchains.
foreign:
	tools/foreign.sh all

demo:
	$(DEV) tools/demo.sh

# Wheels of this tree into dist/ (no network): development and compiled.
wheels:
	$(DEV) tools/wheels.sh dev compiled

wheel-dev:
	$(DEV) tools/wheels.sh dev

wheel-compiled:
	$(DEV) tools/wheels.sh compiled

# Source package dist/zetadesk-<version>.tar.gz: pip builds the native core
# from it with CMake where no wheel fits (Termux, macOS).
sdist:
	$(DEV) tools/sdist.sh

# Portable wheels into dist/: manylinux_2_31, x86-64 and aarch64, both modes.
# On the host: it builds and enters its own roots (tools/portable.sh).
wheels-portable:
	tools/portable.sh wheels

# Every artefact into dist/: the portable wheels and the source package.
dist: wheels-portable sdist

# What dist/ holds, audited (stripped, no build path), installed and run:
# x86-64 here, aarch64 in the arm64 root under qemu-user; then the x86-64
# wheels and the source package built again from a clone under /tmp, which
# must give the same bytes.
check-dist:
	$(DEV) python3.14 tests/check_exports.py dist/*.whl
	ZETADESK_PORTABLE_DIST=$(CURDIR)/dist $(DEVTEST) python3.14 -m pytest tests/test_install.py -k "portable or policy"
	tools/portable.sh check-aarch64
	tools/portable.sh reproduce x86_64

clean:
	rm -rf build build-* bin dist
	find . -name '*.cpython-314*.so' -delete
