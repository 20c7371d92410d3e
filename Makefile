# Front end: every target runs inside the CPython 3.14 environment
# (tools/devenv.sh uses the host's python3.14 when it has one).
DEV := tools/devenv.sh run

.PHONY: build test demo clean

build:
	$(DEV) tools/build.sh

test:
	$(DEV) tools/test.sh

demo:
	$(DEV) tools/demo.sh

clean:
	rm -rf build build-* bin
	find . -name '*.cpython-314*.so' -delete
