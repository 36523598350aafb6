#!/usr/bin/env bash
# Compares tallymere-bench figures of an earlier commit ("before") and of this worktree ("after")
# in one sitting, on the same machine.
#
#     bench/compare.sh BEFORE [N ...]          e.g.  bench/compare.sh main 2000 10000 100000
#
# BEFORE is a commit. Its tree is exported to a temporary folder, given this worktree's bench
# (bench/tallymere_bench.cpp, with the target's link to tallymere-cli, so that both sides
# measure the same way) and built; this worktree is built as it is. Then, for each message count N (default 2000 and
# 10000), each side runs RUNS times (default 3), alternating, and the best (lowest) value of
# every figure is taken. Prints one table per N: seconds and microseconds per message of each
# side, after/before, the ratios to the floors (from the best figures) and the idle figures.
#
# Environment: TMPDIR (default /dev/shm, which keeps the disk out of it; the benches make their
# devices there), RUNS (3),
# IDLE_SECONDS (5; 0 leaves idle-cpu and notify-latency out), KEEP=1 keeps the raw outputs and the
# before build, BEFORE_BENCH=path uses such a kept before bench instead of building BEFORE again.
# A side whose run fails (the 10,000-message limit of older builds, for example) shows "failed".
set -euo pipefail

if [ $# -lt 1 ]; then
  sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi
before_ref=$1
shift
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(2000 10000)
runs=${RUNS:-3}
idle=${IDLE_SECONDS:-5}
export TMPDIR=${TMPDIR:-/dev/shm}

root=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
work=$(mktemp -d "${TMPDIR}/tallymere-compare-XXXXXX")
if [ "${KEEP:-0}" != 1 ]; then trap 'rm -rf "$work"' EXIT; fi

bench_before="$work/before/build/default/bench/tallymere-bench"
if [ -n "${BEFORE_BENCH:-}" ]; then
  # A before build kept from an earlier sitting (KEEP=1): its bench is used as it is.
  bench_before=$BEFORE_BENCH
  echo "compare: before is $bench_before" >&2
else
echo "compare: building $before_ref with this bench in $work/before ..." >&2
mkdir -p "$work/before"
git -C "$root" archive "$before_ref" | tar -x -C "$work/before"
cp "$root/bench/tallymere_bench.cpp" "$work/before/bench/"
if ! grep -q 'TALLYMERE_CLI="$<TARGET_FILE:tallymere-cli>")' "$work/before/bench/CMakeLists.txt" ||
   ! grep -q 'target_compile_definitions(tallymere-bench' "$work/before/bench/CMakeLists.txt"; then
  cat >>"$work/before/bench/CMakeLists.txt" <<'CMAKE'
target_compile_definitions(tallymere-bench PRIVATE TALLYMERE_CLI="$<TARGET_FILE:tallymere-cli>")
add_dependencies(tallymere-bench tallymere-cli)
CMAKE
fi
(cd "$work/before" && cmake --preset default >/dev/null && cmake --build --preset default --target tallymere-bench >/dev/null)
fi
echo "compare: building this worktree ..." >&2
(cd "$root" && cmake --preset default >/dev/null && cmake --build --preset default --target tallymere-bench >/dev/null)

bench_after="$root/build/default/bench/tallymere-bench"

for n in "${counts[@]}"; do
  for run in $(seq 1 "$runs"); do
    for side in before after; do
      bench="bench_$side"
      echo "compare: $side, $n messages, run $run ..." >&2
      if ! "${!bench}" --messages "$n" --idle-seconds "$idle" >"$work/$side.$n.$run" 2>"$work/$side.$n.$run.err"; then
        echo "failed" >>"$work/$side.$n.$run"
      fi
    done
  done

  awk -v n="$n" -v runs="$runs" '
    function best(side, name) { return (side SUBSEP name) in v ? v[side, name] : "" }
    FNR == 1 { split(FILENAME, parts, "/"); split(parts[length(parts)], f, "."); side = f[1] }
    /^#/ { next }
    $1 == "failed" { failed[side]++; next }
    $1 ~ /^(ratio|again)-/ { next }
    {
      if (!((side SUBSEP $1) in v) || $2 + 0 < v[side, $1] + 0) v[side, $1] = $2
      if ($1 == "notify-latency" && (!((side SUBSEP "notify-max") in v) || $3 + 0 < v[side, "notify-max"] + 0)) v[side, "notify-max"] = $3
    }
    END {
      printf "\n## %d messages (best of %d runs each)\n\n", n, runs
      printf "| figure | before s | before us/msg | after s | after us/msg | after/before |\n"
      printf "|---|---|---|---|---|---|\n"
      split("backup-first backup-again export-all export-again restore-extra floor-read floor-write floor-files floor-insert", names, " ")
      for (i = 1; i <= 9; i++) {
        name = names[i]; b = best("before", name); a = best("after", name)
        bs = b == "" ? "failed" : sprintf("%.3f", b); bu = b == "" ? "" : sprintf("%.1f", 1e6 * b / n)
        as = a == "" ? "failed" : sprintf("%.3f", a); au = a == "" ? "" : sprintf("%.1f", 1e6 * a / n)
        r = (a == "" || b == "" || b == 0) ? "" : sprintf("%.2f", a / b)
        printf "| %s | %s | %s | %s | %s | %s |\n", name, bs, bu, as, au, r
      }
      printf "\n| ratio to floor | before | after | target |\n|---|---|---|---|\n"
      split("backup-first:floor-read+floor-write:2.0 backup-again:floor-read+floor-write:2.0 export-all:floor-files+floor-read:1.3 restore-extra:floor-insert:1.3", rs, " ")
      for (i = 1; i <= 4; i++) {
        split(rs[i], p, ":"); split(p[2], fl, "+")
        line = sprintf("| %s / (%s)", p[1], p[2])
        for (s = 1; s <= 2; s++) {
          side = s == 1 ? "before" : "after"
          c = best(side, p[1]); d = best(side, fl[1]) + (fl[2] == "" ? 0 : best(side, fl[2]))
          line = line sprintf(" | %s", (c == "" || d == 0) ? "" : sprintf("%.2f", c / d))
        }
        printf "%s | %s |\n", line, p[3]
      }
      printf "\n| resident program | before | after | target |\n|---|---|---|---|\n"
      printf "| idle-cpu, percent of a core | %s | %s | 0.1 |\n", best("before", "idle-cpu"), best("after", "idle-cpu")
      printf "| notify-latency median ms (best run) | %s | %s | 20 |\n", best("before", "notify-latency"), best("after", "notify-latency")
      printf "| notify-latency max ms (best run) | %s | %s | 20 |\n", best("before", "notify-max"), best("after", "notify-max")
      for (s in failed) printf "\n%s failed in %d of %d runs\n", s, failed[s], runs
    }' $(for run in $(seq 1 "$runs"); do echo "$work/before.$n.$run" "$work/after.$n.$run"; done)
done
if [ "${KEEP:-0}" = 1 ]; then echo "compare: raw outputs kept in $work" >&2; fi
