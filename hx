#!/usr/bin/env bash
# Small front door for the common commands.
#   ./hx test   configure, build and run every test (default preset)
#   ./hx sim    build and run hxsim's default scenario
#   ./hx bench  build and run the benchmarks
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)
case "${1:-test}" in
  test)
    cmake --preset default >/dev/null
    cmake --build --preset default -j "$jobs"
    ctest --preset default -j "$jobs"
    ;;
  sim)
    if [ ! -f sim/CMakeLists.txt ]; then echo "hxsim is not built yet" >&2; exit 2; fi
    shift
    cmake --preset default >/dev/null
    cmake --build --preset default -j "$jobs" --target hxsim
    ./build/default/sim/hxsim "$@"
    ;;
  bench)
    cmake --preset default >/dev/null
    cmake --build --preset default -j "$jobs"
    for b in build/default/bench/*/hx_bench_*; do [ -x "$b" ] && "$b"; done
    ;;
  *)
    echo "usage: ./hx [test|sim|bench]" >&2; exit 2 ;;
esac
