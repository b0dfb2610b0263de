#!/usr/bin/env bash
# Checks .ci/setup-packages against what the build and the tests really use,
# so a fresh machine gets everything from the one list:
#  1. every program and library the configured build found (from its CMake
#     cache), soxi (the system tests), clang and libFuzzer (the fuzz preset)
#     and ccache come from a listed package or one a listed package depends on;
#  2. with packages missing and no rights to install, it stops at once with
#     one line naming them and installs nothing;
#  3. as root it says what it installs and why, and installs just that.
# Usage: setup_packages_test.sh <repository> <build folder>
set -uo pipefail
repo=$1
build=$2
script=$repo/.ci/setup-packages
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mapfile -t listed < <("$script" --list ci)
[ ${#listed[@]} -gt 0 ] || fail "the ci group lists no packages"

# Packages reachable from the list through Depends and Pre-Depends (one
# dpkg-query for every installed package's dependencies, walked in awk).
declare -A reach
while read -r p; do reach[$p]=1; done < <(
  dpkg-query -W -f='${Package}\t${Pre-Depends}, ${Depends}\n' | awk -F'\t' -v start="${listed[*]}" '
    { n = split($2, alts, /[,|]/); for (i = 1; i <= n; ++i) { d = alts[i]; sub(/\(.*\)/, "", d); gsub(/:any| /, "", d);
        if (d != "") deps[$1] = deps[$1] " " d } }
    END { k = split(start, q, " "); for (i = 1; i <= k; ++i) seen[q[i]] = 1
          for (i = 1; i <= k; ++i) { m = split(deps[q[i]], ds, " ")
            for (j = 1; j <= m; ++j) if (!(ds[j] in seen)) { seen[ds[j]] = 1; q[++k] = ds[j] } }
          for (p in seen) print p }')

# The package owning each path (through symlinks if needed), in one dpkg -S.
declare -A owners
owners_of() {
  local line
  while IFS= read -r line; do
    owners[${line#*: }]=${line%%:*}
  done < <(dpkg -S "$@" 2>/dev/null | sed 's/, [^:]*:/:/')
}

used=()
cache=$build/CMakeCache.txt
if [ -f "$cache" ]; then
  for key in CMAKE_COMMAND CMAKE_MAKE_PROGRAM CMAKE_CXX_COMPILER CMAKE_C_COMPILER CMAKE_OBJDUMP \
             HX_CCACHE Python3_EXECUTABLE GTest_DIR benchmark_DIR; do
    v=$(grep -E "^$key:[A-Z]+=" "$cache" | head -1 | cut -d= -f2-)
    [ -n "$v" ] && [ -e "$v" ] && used+=("$key=$v")
  done
else
  fail "no CMake cache in $build"
fi
for f in /usr/include/gtest/gtest.h /usr/include/gmock/gmock.h /usr/include/benchmark/benchmark.h; do
  used+=("header=$f")
done
for t in soxi clang ccache; do
  p=$(command -v "$t") && used+=("$t=$p")
done
rt=$(ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a 2>/dev/null | head -1)
[ -n "$rt" ] && used+=("libFuzzer=$rt")
paths=()
for u in "${used[@]}"; do paths+=("${u#*=}" "$(readlink -f "${u#*=}")"); done
owners_of "${paths[@]}"
for u in "${used[@]}"; do
  path=${u#*=}
  pkg=${owners[$path]:-${owners[$(readlink -f "$path")]:-}}
  if [ -z "$pkg" ]; then
    fail "${u%%=*}: $path belongs to no package"
  elif [ -z "${reach[$pkg]:-}" ]; then
    fail "${u%%=*}: $path comes from $pkg, which the package list does not bring"
  fi
done
echo "checked ${#used[@]} things the build and tests use against ${#listed[@]} listed packages"

# Stand-ins for the system's tools: dpkg reports sox and ccache missing, the
# rest as installed; apt-get and sudo note their calls.
fake=$(mktemp -d)
trap 'rm -rf "$fake"' EXIT
cat >"$fake/dpkg" <<'FAKE'
#!/bin/sh
case "$2" in sox|ccache) exit 1 ;; *) exit 0 ;; esac
FAKE
printf '#!/bin/sh\necho "apt-get $*" >>"%s/calls"\n' "$fake" >"$fake/apt-get"
printf '#!/bin/sh\nexit 1\n' >"$fake/sudo"
chmod +x "$fake"/*

# 2. No rights: one line naming the packages, exit 1, nothing installed.
printf '#!/bin/sh\necho 1000\n' >"$fake/id"; chmod +x "$fake/id"
out=$(PATH="$fake:$PATH" "$script" test 2>&1)
status=$?
[ "$status" = 1 ] || fail "without rights: exit $status, not 1"
[ "$(echo "$out" | wc -l)" = 1 ] || fail "without rights: more than one line: $out"
case "$out" in *"apt-get install sox ccache"*) ;; *) fail "without rights: the line does not name sox and ccache: $out" ;; esac
[ ! -e "$fake/calls" ] || fail "without rights: apt-get was called"
# Only the optional ccache missing: the build goes on without it.
cat >"$fake/dpkg" <<'FAKE'
#!/bin/sh
case "$2" in ccache) exit 1 ;; *) exit 0 ;; esac
FAKE
PATH="$fake:$PATH" "$script" build >/dev/null 2>&1 || fail "without rights, a missing ccache stopped the build"

# 3. As root: says what and why, installs just the missing packages.
cat >"$fake/dpkg" <<'FAKE'
#!/bin/sh
case "$2" in sox|ccache) exit 1 ;; *) exit 0 ;; esac
FAKE
printf '#!/bin/sh\necho 0\n' >"$fake/id"
out=$(PATH="$fake:$PATH" "$script" test 2>&1) || fail "as root: the install failed: $out"
case "$out" in *"sox: soxi reads the WAV file"*) ;; *) fail "as root: no reason given for sox: $out" ;; esac
grep -q "^apt-get install -y -qq --no-install-recommends sox ccache$" "$fake/calls" ||
  fail "as root: apt-get was not asked for exactly sox and ccache: $(cat "$fake/calls")"
# Nothing missing: nothing said, nothing run.
rm -f "$fake/calls"
printf '#!/bin/sh\nexit 0\n' >"$fake/dpkg"
out=$(PATH="$fake:$PATH" "$script" ci 2>&1)
[ -z "$out" ] && [ ! -e "$fake/calls" ] || fail "with everything installed it still did something: $out"

echo "$((failures == 0 ? 1 : 0)) passed, $failures failed"
[ "$failures" = 0 ]
