#!/bin/sh
# Stands first on PATH, as "tmux", while the benchmark counts tmux processes. Each run
# appends one line to $VORDALIN_BENCH_LOG: the size of what tmux wrote to standard output,
# then each argument, all followed by a unit separator (0x1f). The output is held in a file
# so its size can be taken, then passed on unchanged; the exit status is the real tmux's.
out="$VORDALIN_BENCH_LOG.out.$$"
"$VORDALIN_BENCH_TMUX" "$@" >"$out"
status=$?
size=$(wc -c <"$out")
cat "$out"
rm -f "$out"
{
    printf '%s\037' "$size" "$@"
    printf '\n'
} >>"$VORDALIN_BENCH_LOG"
exit "$status"
