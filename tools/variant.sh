#!/usr/bin/env bash
# Builds and checks a variant of the native modules in a private copy of the
# tree (build/variants/NAME), so the modules built in place stay untouched.
# Runs inside the CPython 3.14 environment.
#
#   tools/variant.sh asan  [PYTEST ARGS]  ASan + UBSan build; the whole suite (or the
#                                         tests named), failing on any sanitizer report
#   tools/variant.sh debug [PYTEST ARGS]  build for the debug interpreter
#                                         (python3.14d); the reference-leak test
#   tools/variant.sh fuzz                 libFuzzer over the log scanner (ZETADESK_FUZZ_SECONDS, 60)
#   tools/variant.sh fuzz-credential      libFuzzer over the credential program's request and
#                                         JSON parsers (ZETADESK_FUZZ_SECONDS, 60)
#   tools/variant.sh clang                clang++ build, warnings are errors
#   tools/variant.sh portable [PYTEST ARGS] every native shortcut compiled out
#                                         (the path macOS and Windows take); the
#                                         whole suite
#   tools/variant.sh aarch64 [PYTEST ARGS] cross-built for aarch64 Linux, the
#                                         suite under qemu-user.  Runs on the
#                                         host as root, not in the environment
#                                         (tools/cross.sh builds its own roots)
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?variant name}; shift
tree=build/variants/$name
rm -rf "$tree"
mkdir -p "$tree"
tar --exclude=./build --exclude=./.git --exclude=./bin --exclude='*.so' --exclude=__pycache__ \
    --exclude=./dist -cf - . | tar -xf - -C "$tree"
cd "$tree"
export ZETADESK_BUILD_DIR=_build

# fuzz PROGRAM SOURCE... -- OPTION...: builds _build/PROGRAM with libFuzzer and
# the sanitizers, runs it over corpus/ for a bounded time and exits with its status.
fuzz() {
  local program=_build/$1 sources=(); shift
  while [ "$1" != -- ]; do sources+=("$1"); shift; done
  shift
  clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    "${sources[@]}" -o "$program"
  "$program" -max_total_time="${ZETADESK_FUZZ_SECONDS:-60}" "$@" \
    -print_final_stats=1 corpus 2>&1 | tail -n 25
  exit "${PIPESTATUS[0]}"
}

case $name in
  asan)
    ZETADESK_CMAKE_ARGS="-DZETADESK_WERROR=ON -DZETADESK_SANITIZE=ON" tools/build.sh >/dev/null
    reports=$PWD/sanitizer-reports
    mkdir -p "$reports"
    # The interpreter is not instrumented: preload the runtimes, let the
    # system allocator see every Python allocation, and ignore the
    # interpreter's own never-freed memory.
    export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
    export ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan:abort_on_error=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
    export PYTHONMALLOC=malloc ZETADESK_SANITIZED=1
    status=0
    python3.14 -m pytest "$@" || status=$?  # the whole suite unless paths are given
    if compgen -G "$reports/*" >/dev/null; then
      echo "sanitizer reports:" >&2
      cat "$reports"/* >&2
      exit 1
    fi
    echo "sanitizers: no reports"
    exit $status
    ;;
  debug)
    ZETADESK_PYTHON=python3.14d ZETADESK_CMAKE_ARGS="-DZETADESK_WERROR=ON -DCMAKE_BUILD_TYPE=Debug" \
      tools/build.sh >/dev/null
    exec python3.14d -m pytest tests/test_refleaks.py "$@"
    ;;
  fuzz)
    # libFuzzer over the log scanner (every path this CPU has), for a bounded time.
    mkdir -p _build corpus
    printf '\x03\x05\x00a\r\nb\rc\n\xc3\xa9\xe2\x82' > corpus/seed-mixed
    printf '\x07\x01\x41\xf0\x9f\x98\x80\r\xff\n\xed\xa0\x80x' > corpus/seed-invalid
    printf '\x21\x90\x83%s\r\xe2\x82\n\xe4\xb8\xad\r\r\n\xff' "$(head -c 4200 /dev/zero | tr '\0' x)" > corpus/seed-segments
    printf '\x05\x03\x83a\r%s\nb\r\n\r' "$(head -c 64 /dev/zero | tr '\0' '\377')" > corpus/seed-parts
    { printf '\x01\xc0\x02'; head -c 9000 /dev/zero | tr '\0' '\n'; printf '\r\n'; } > corpus/seed-line-feeds
    ASAN_OPTIONS=detect_leaks=0 fuzz fuzz_log_scanner \
      tests/fuzz/fuzz_log_scanner.cpp routes/opsdeck/scanner.cpp routes/opsdeck/scanner_x86.cpp \
      routes/opsdeck/scanner_neon.cpp -- -max_len=16384
    ;;
  fuzz-credential)
    # The fast path's parsers need neither Python nor the module frame.
    mkdir -p _build corpus
    printf '\x02protocol=https\nhost=api.GitHub.com:443\n\xc2\xa0host =x\n\nrest' > corpus/seed-request
    printf '\x01 {"a": [1.5e3, {"b": null}], "github\\u005ftoken": "t\\u00e9\\ud83d\\ude00\xe2\x82\xac"}\r\n' \
      > corpus/seed-config
    # The dictionary's pieces (Unicode spaces, escapes, github.com) are what
    # random bytes seldom hit.
    fuzz fuzz_credential_fastpath tests/fuzz/fuzz_credential_fastpath.cpp -- \
      -max_len=4096 -dict=tests/fuzz/credential_fastpath.dict
    ;;
  clang)
    CXX=clang++ ZETADESK_CMAKE_ARGS="-DZETADESK_WERROR=ON" tools/build.sh >/dev/null
    echo "clang++: built without warnings"
    ;;
  portable)
    ZETADESK_CMAKE_ARGS="-DZETADESK_WERROR=ON -DZETADESK_PORTABLE=ON" tools/build.sh >/dev/null
    # The option must reach every compilation of the three modules, or the
    # suite below proves nothing about the Python path.
    commands=$(cmake --build _build -- -t commands | grep -E ' -c .*/(routes|scripts|zetadesk_setup|modframe)/')
    if grep -qv 'ZETADESK_PORTABLE=1' <<<"$commands"; then
      echo "portable: a compilation without ZETADESK_PORTABLE=1" >&2
      exit 1
    fi
    exec python3.14 -m pytest "$@"  # no path given: testpaths of pytest.ini
    ;;
  aarch64)
    started=$SECONDS
    tools/cross.sh roots >/dev/null
    tools/cross.sh build . /bin/bash -c '
      set -e
      # The interpreter is the one the toolchain file names, in the arm64 root.
      ZETADESK_PYTHON=/sysroot/usr/bin/python3.14 ZETADESK_CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=tools/aarch64-linux-gnu.cmake \
        -DCMAKE_POLICY_DEFAULT_CMP0190=NEW -DZETADESK_WERROR=ON" \
        tools/build.sh >/dev/null
      # Every artefact must be an aarch64 binary, not a stray host build.
      for f in routes/*.so scripts/*.so ./*.so bin/git-credential-zetadesk; do
        machine=$(aarch64-linux-gnu-readelf -h "$f" | sed -n "s/^ *Machine: *//p")
        [ "$machine" = AArch64 ] || { echo "aarch64: $f is built for ${machine:-nothing}" >&2; exit 1; }
        echo "built $f"
      done'
    echo "aarch64: cross build in $((SECONDS - started)) s"
    emulation=$(tools/cross.sh emulation)
    echo "aarch64: tests under qemu-user ($emulation)"
    # Under emulation a process start costs seconds and a megabyte of
    # Python-made data minutes: the run checks what the CPU changes (the
    # native modules in this interpreter, the helper program itself, the
    # views that run programs themselves) and leaves to the native runs what
    # starts servers, interpreters and git again and again (skipped at that
    # point, each with its reason), the wheels (the compiled one and the
    # install test's need a compiler on the target) and the load test.  The
    # live stream's burst of 260,000 lines is left out too: its cycle bounds
    # are the same code on every CPU.
    left_out=(--deselect tests/test_packaging.py::test_compiled_wheel_with_real_cython
              --deselect tests/test_install.py --deselect tests/test_load.py
              --deselect tests/test_logs_stream.py::test_large_append_arrives_over_several_cycles_without_loss)
    echo "aarch64: left out: ${left_out[*]}"
    may_start=""
    # Without binfmt_misc only the interpreter itself runs under qemu: no
    # test starts a program.
    # The restart's hand-over of the port is timing under load, which the
    # emulated CPU changes: its chain of ten restarts runs here too.
    [ "$emulation" = binfmt ] && may_start="test_credential_fastpath.py test_credential_helper.py test_info.py test_status.py
      test_restart.py::test_port_is_never_free_across_restarts"
    echo "aarch64: tests that start programs: ${may_start:-none}"
    # Each test is bound by one emulated CPU: two halves of about the same
    # time (the log tests and the fast path's, and the rest) run at once,
    # each in its own root (and /tmp), their output shown in turn.
    first=(tests/test_server_logs.py tests/test_logs_stream.py tests/test_credential_fastpath.py)
    run_emulated() {  # PART PYTEST ARGS...
      local part=$1; shift
      ZETADESK_EMULATED=1 ZETADESK_PROCESS_TESTS="$may_start" \
        tools/cross.sh target . python3.14 -m pytest "$@" >"emulated-$part.out" 2>&1
    }
    run_emulated first "${first[@]}" "${left_out[@]}" "$@" &
    first_run=$!
    status=0
    run_emulated rest tests "${first[@]/#/--ignore=}" "${left_out[@]}" "$@" || status=$?
    wait "$first_run" || status=$?
    for part in first rest; do
      echo "aarch64: tests, part $part"
      cat "emulated-$part.out"
    done
    echo "aarch64: $((SECONDS - started)) s in all"
    exit $status
    ;;
  *)
    echo "unknown variant: $name" >&2
    exit 2
    ;;
esac
