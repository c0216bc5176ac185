#!/usr/bin/env bash
# Runs a short sampling workload under valgrind memcheck and fails on any invalid read or write,
# or use of uninitialised memory, whose stack passes through the module. CPython's own allocator
# is switched off (PYTHONMALLOC=malloc) so that valgrind sees every Python allocation too.
set -euo pipefail
cd "$(dirname "$0")/.."
log=$(mktemp)
PYTHONMALLOC=malloc valgrind --tool=memcheck --error-limit=no --num-callers=30 \
  --log-file="$log" .venv/bin/python tools/memcheck_workload.py
# Each error is a block of lines; keep the blocks that mention the module.
faults=$(awk '/^==[0-9]+== [A-Z]/{if (block ~ /tovalib/) print block; block=""} {block = block "\n" $0}
              END {if (block ~ /tovalib/) print block}' "$log" |
         grep -cE "Invalid (read|write)|uninitialised|Invalid free|Mismatched free" || true)
summary=$(grep "ERROR SUMMARY" "$log" | tail -1)
echo "memcheck: ${summary#*== }; errors involving tovalib: $faults"
if [ "$faults" != "0" ]; then
  awk '/^==[0-9]+== [A-Z]/{if (block ~ /tovalib/) print block; block=""} {block = block "\n" $0}' "$log"
  exit 1
fi
rm -f "$log"
