#!/usr/bin/env bash
# The front door: set-up, build and the common commands, one word each.
# Every command first checks for the Debian packages it needs and installs
# what is missing (.ci/setup-packages holds the list).
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)
build_dir=build/default
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/hx-ccache}"

help() {
  cat <<'TEXT'
usage: ./hx COMMAND [options]
  sim [options]      build and run hxsim's default scenario (./hx sim --help lists its options)
  test [ctest args]  build and run every test of the default preset (what CI runs first)
  bench [--quick]    build and run the benchmarks (about 4 minutes; --quick: under a minute)
  repeat [args]      run tests again and again under load (.ci/ctest-repeat --help)
  help               this text
Everything CI does: bash .ci/run. The project's layout: docs/ARCHITECTURE.md.
TEXT
}

# Configures (once) and builds the targets quietly; the build's output is
# shown only when it fails.
build() {
  local log=$build_dir/hx-build.log
  mkdir -p "$build_dir"
  if ! { cmake --preset default && cmake --build --preset default -j "$jobs" "$@"; } >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "hx: the build failed (whole output in $log)" >&2
    exit 1
  fi
}

cmd="${1:-help}"
[ $# -gt 0 ] && shift
case "$cmd" in
  help|-h|--help)
    help ;;
  test)
    .ci/setup-packages test
    echo "building (quietly; output in $build_dir/hx-build.log on failure)..."
    build
    ctest --preset default -j "$jobs" "$@"
    ;;
  sim)
    .ci/setup-packages build
    build --target hxsim
    exec "$build_dir/sim/hxsim" "$@"
    ;;
  bench)
    quick=()
    if [ "${1:-}" = --quick ]; then
      quick=(--benchmark_min_time=0.01)
      shift
      echo "hx bench --quick: each benchmark runs briefly (under a minute in all)"
    else
      echo "hx bench: each benchmark runs about half a second (about 4 minutes in all; --quick for under a minute)"
    fi
    .ci/setup-packages build
    build
    for b in "$build_dir"/bench/*/hx_bench_*; do
      [ -x "$b" ] || continue
      echo
      echo "== $(basename "$b") ($b)"
      # The driver's log stays out of benchmark output.
      HX_LOG=0 "$b" "${quick[@]}" "$@"
    done
    ;;
  repeat)
    build
    exec .ci/ctest-repeat "$@"
    ;;
  *)
    echo "hx: unknown command $cmd" >&2
    help >&2
    exit 2
    ;;
esac
