#!/usr/bin/env bash
# Builds the libFuzzer targets of the native core and runs each for a
# bounded time.  Run by hand (not by CI):
#
#   bash fuzz/run.sh [seconds per target, default 20] [target ...]
#   bash fuzz/run.sh --smoke [target ...]
#
# Targets: binary_index (the document binary index reader), json (the JSON
# reader) and records (the author, section, document and token entry line
# parsers).  The core is compiled with clang++ under ASan and UBSan into
# fuzz/build/; inputs the fuzzer finds go to fuzz/build/corpus-<target>
# (the seeds under fuzz/corpus/ stay as they are), and a crashing input is
# saved as fuzz/build/crash-* with the fuzzer's report.
#
# --smoke is the repeatable run the test command makes: each target runs its
# seeds and then a fixed number of inputs from a fixed random seed, and what
# it finds is kept only for that run.
set -euo pipefail

# Each target runs with `limits`; what it finds goes to $out/<kind>-<target>.
if [ "${1:-}" = "--smoke" ]; then
  shift
  kind=smoke
  limits=(-runs=30000 -seed=1)
  what="seeds and 30000 inputs"
else
  seconds="${1:-20}"
  shift || true
  kind=corpus
  limits=(-max_total_time="$seconds")
  what="${seconds}s"
fi

here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
out="$here/build"
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(binary_index json records)

CXX="${CXX:-clang++}"
command -v "$CXX" >/dev/null || { echo "fuzz/run.sh: $CXX not found (apt-get install -y clang)" >&2; exit 1; }

# (The core marks two hot functions with GCC's noipa, which clang does not
# know; it only steers GCC's optimiser, so clang may pass over it quietly.)
flags=(-std=c++20 -g -O1 -fno-omit-frame-pointer -Wall -Wextra -Wno-unknown-attributes
       -fsanitize=address,undefined -fno-sanitize-recover=undefined)
mkdir -p "$out/obj"

# The core, every unit but the interpreter boundary, built once and then
# only where a source is newer than its object.
objs=()
for src in "$root"/src/*.cpp; do
  case "$(basename "$src")" in python*.cpp) continue ;; esac
  obj="$out/obj/$(basename "$src" .cpp).o"
  objs+=("$obj")
  if [ ! -e "$obj" ] || [ "$src" -nt "$obj" ] || [ -n "$(find "$root/src" -name '*.hpp' -newer "$obj" -print -quit)" ]; then
    echo "$src"
  fi
done | xargs -r -P "$(nproc)" -I{} sh -c \
  'exec "$0" "$@" -fsanitize=fuzzer-no-link -c "{}" -o "'"$out"'/obj/$(basename "{}" .cpp).o"' \
  "$CXX" "${flags[@]}"
rm -f "$out/libvlcore.a"
ar rcs "$out/libvlcore.a" "$out"/obj/*.o

status=0
for t in "${targets[@]}"; do
  src="$here/fuzz_$t.cpp"
  [ -e "$src" ] || { echo "fuzz/run.sh: no target '$t'" >&2; exit 2; }
  "$CXX" "${flags[@]}" -fsanitize=fuzzer "$src" "$out/libvlcore.a" -lcrypto -ltbb -o "$out/fuzz_$t"
  if [ "$kind" = smoke ]; then rm -rf "$out/smoke-$t"; fi  # a smoke run keeps nothing
  mkdir -p "$out/$kind-$t"
  echo "== $t: $what"
  if ! "$out/fuzz_$t" "$out/$kind-$t" "$here/corpus/$t" "${limits[@]}" \
      -max_len=8192 -artifact_prefix="$out/" -print_final_stats=1 2>"$out/$t.log"; then
    echo "== $t: FAILED, see $out/$t.log"
    tail -40 "$out/$t.log"
    status=1
  else
    grep -E "stat::number_of_executed_units|stat::new_units_added" "$out/$t.log" || true
  fi
done
exit $status
