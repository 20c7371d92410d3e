# Front end: every target runs inside the CPython 3.14 environment
# (tools/devenv.sh uses the host's python3.14 when it has one).
DEV := tools/devenv.sh run

.PHONY: build test hardening demo wheels wheel-dev wheel-compiled clean

build:
	$(DEV) tools/build.sh

test:
	$(DEV) tools/test.sh

# Memory-error, reference-leak, fuzzing and portability checks (see docs/hardening.md).
hardening:
	$(DEV) tools/variant.sh asan
	$(DEV) tools/variant.sh debug
	$(DEV) tools/variant.sh fuzz
	$(DEV) tools/variant.sh fuzz-credential
	$(DEV) tools/variant.sh clang

demo:
	$(DEV) tools/demo.sh

# Wheels of this tree into dist/ (no network): development and compiled.
wheels:
	$(DEV) tools/wheels.sh dev compiled

wheel-dev:
	$(DEV) tools/wheels.sh dev

wheel-compiled:
	$(DEV) tools/wheels.sh compiled

clean:
	rm -rf build build-* bin dist
	find . -name '*.cpython-314*.so' -delete
