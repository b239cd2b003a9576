#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz (clang, AddressSanitizer, UBSan) and runs each over
# its committed seed corpus plus what earlier runs found (build/fuzz/corpus, not committed).
#   scripts/fuzz.sh                    every target for a few seconds (scripts/test.sh runs this)
#   scripts/fuzz.sh --runs 1000000     every target for that many inputs
#   scripts/fuzz.sh --seconds 60 pe    one target for a minute
# Prints one line per target: inputs run, coverage (edges) and features; a crash stops the script
# with the reproducer under build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

limit=(-max_total_time=4)
targets=()
while (($#)); do
  case "$1" in
    --runs) limit=(-runs="$2"); shift 2 ;;
    --seconds) limit=(-max_total_time="$2"); shift 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done

declare -A sources=(
  [config]="src/core/config.cpp src/core/config_parse.cpp src/core/text.cpp tests/fuzz/shim/fake_windows.cpp"
  [pe]="src/host/host_validation.cpp src/host/import_slot.cpp src/host/host_sites.cpp src/core/module_path.cpp src/core/text.cpp tests/fuzz/shim/fake_windows.cpp"
  [host_strings]="src/host/host_validation.cpp src/host/host_sites.cpp src/core/module_path.cpp src/core/text.cpp tests/fuzz/shim/fake_windows.cpp"
  [x64_decode]="hookengine/src/x64_decode.cpp tests/fuzz/llvm_disasm.cpp"
  [trampoline]="hookengine/src/trampoline.cpp hookengine/src/x64_decode.cpp tests/fuzz/llvm_disasm.cpp"
  [cadence]="src/pacing/cadence_histogram.cpp src/core/text.cpp"
  [clock]="src/frame/presentation_clock.cpp"
)
((${#targets[@]})) || targets=(config pe host_strings x64_decode trampoline cadence clock)

out=${FUZZ_OUT:-build/fuzz}  # another folder keeps a long run apart from brief ones
mkdir -p "$out/artifacts"
llvm=/usr/lib/llvm-14
flags=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -DUNICODE
       -Isrc -Ihookengine/src -Itests/fuzz -Itests/fuzz/shim -I"$llvm/include")

for t in "${targets[@]}"; do
  [[ -n "${sources[$t]:-}" ]] || { echo "fuzz: no target named $t" >&2; exit 2; }
  bin="$out/fuzz_$t"
  inputs=("tests/fuzz/fuzz_$t.cpp" ${sources[$t]} tests/fuzz/shim/windows.h tests/fuzz/shim/fake_windows.h tests/fuzz/llvm_disasm.h)
  stale=0
  [[ -x "$bin" ]] || stale=1
  for f in "${inputs[@]}"; do [[ "$f" -nt "$bin" ]] && stale=1; done
  # Headers of the code under test count too.
  [[ -n "$(find src hookengine/src -name '*.h' -newer "$bin" 2>/dev/null | head -1)" ]] && stale=1
  if ((stale)); then
    libs=()
    [[ " ${sources[$t]} " == *llvm_disasm* ]] && libs=(-L"$llvm/lib" -lLLVM-14 -Wl,-rpath,"$llvm/lib")
    clang++ "${flags[@]}" "tests/fuzz/fuzz_$t.cpp" ${sources[$t]} "${libs[@]}" -o "$bin"
  fi
  mkdir -p "$out/corpus/$t"
  log="$out/fuzz_$t.log"
  if ! "$bin" "${limit[@]}" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$out/artifacts/$t-" "$out/corpus/$t" "tests/fuzz/corpus/$t" >"$log" 2>&1; then
    tail -40 "$log"
    echo "fuzz $t: FAILED (log $log)"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  echo "fuzz $t: $runs inputs, $cov"
done
