#!/usr/bin/env bash
# The builds the budget compares, made before the benchmarks run (outside their
# namespace); each is reused and only brought up to date by later runs.
#
# Usage: bench/prepare.sh BUILD BASELINE_REV JOBS [ARCH:DIR ...]
#
# - The baseline: lld-client and lld-proxy of BASELINE_REV, built from a git
#   worktree in BUILD/bench-baseline/src into BUILD/bench-baseline/build, with
#   that revision's own defaults.
# - Each cross build ARCH (armhf, arm64): DIR (build-armhf, ...) when it exists
#   and links the runtime as BUILD does; otherwise BUILD/bench-ARCH, configured
#   with the toolchain file cmake/ARCH.cmake (or cmake/toolchain-ARCH.cmake) and
#   BUILD's LLD_STATIC_RUNTIME, when the file and its cross compiler are there.
#   Only lld-client and lld-proxy are built.
# Writes BUILD/bench-out/builds: one "NAME=DIR" line per build to measure (an
# empty DIR: not built). A build that fails is reported and left out; this
# script never fails the benchmarks.
set -uo pipefail
build=$(cd "$1" && pwd)
baseline_rev=$2
jobs=$3
shift 3
source=$(cd "$(dirname "$0")/.." && pwd)
out=$build/bench-out
mkdir -p "$out"
list=$out/builds
echo "now=$build" >"$list"

cache_value() {  # build key
    sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt" 2>/dev/null
}

targets() {  # build log
    cmake --build "$1" -j "$jobs" --target lld-client lld-proxy >"$2" 2>&1
}

# The baseline, from a worktree of its revision.
base=$build/bench-baseline
rev=$(git -C "$source" rev-parse --verify --quiet "$baseline_rev^{commit}")
if [ -z "$rev" ]; then
    echo "baseline: no revision $baseline_rev in $source: left out"
    echo "baseline=" >>"$list"
else
    if [ "$(git -C "$base/src" rev-parse HEAD 2>/dev/null)" != "$rev" ]; then
        rm -rf "$base"
        git -C "$source" worktree prune
        git -C "$source" worktree add --detach --quiet "$base/src" "$rev"
    fi
    echo "baseline: lld-client and lld-proxy of $(git -C "$source" log -1 --format='%h %cs' "$rev")" \
         "in $base/build"
    if { [ -f "$base/build/CMakeCache.txt" ] ||
         cmake -S "$base/src" -B "$base/build" --log-level=WARNING \
               -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$out/baseline-build.log" 2>&1; } &&
       targets "$base/build" "$out/baseline-build.log"; then
        echo "baseline=$base/build" >>"$list"
    else
        echo "baseline: the build failed ($out/baseline-build.log): left out"
        echo "baseline=" >>"$list"
    fi
fi

# The cross builds.
static=$(cache_value "$build" LLD_STATIC_RUNTIME)
for pair in "$@"; do
    arch=${pair%%:*}
    dir=${pair#*:}
    [ -d "$dir" ] && dir=$(cd "$dir" && pwd)
    use=
    if [ -f "$dir/CMakeCache.txt" ] && [ "$(cache_value "$dir" LLD_STATIC_RUNTIME)" = "$static" ]; then
        use=$dir
    else
        toolchain=
        for file in "$source/cmake/toolchain-$arch.cmake" "$source/cmake/$arch.cmake"; do
            [ -f "$file" ] && { toolchain=$file; break; }
        done
        own=$build/bench-$arch
        if [ -f "$own/CMakeCache.txt" ]; then
            use=$own
        elif [ -z "$toolchain" ]; then
            echo "$arch: no toolchain file under cmake/: not built"
        elif ! cmake -S "$source" -B "$own" --log-level=WARNING -DCMAKE_BUILD_TYPE=RelWithDebInfo \
                 -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DLLD_STATIC_RUNTIME="${static:-OFF}" \
                 >"$out/$arch-build.log" 2>&1; then
            echo "$arch: cannot configure with $toolchain (no cross compiler?): not built"
            rm -rf "$own"
        else
            use=$own
        fi
        if [ -f "$dir/CMakeCache.txt" ] && [ -n "$use" ]; then
            echo "$arch: $dir has LLD_STATIC_RUNTIME=$(cache_value "$dir" LLD_STATIC_RUNTIME)," \
                 "$build has ${static:-OFF}: measuring $use instead"
        fi
    fi
    if [ -n "$use" ]; then
        if targets "$use" "$out/$arch-build.log"; then
            echo "$arch: lld-client and lld-proxy in $use"
        else
            echo "$arch: the build failed ($out/$arch-build.log): not built"
            use=
        fi
    fi
    echo "$arch=$use" >>"$list"
done
exit 0
