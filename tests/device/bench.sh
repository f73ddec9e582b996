#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The device in a box (see build.sh), as a benchmark (not a test): inside
# the guest, the tool against a plain shell script doing the same work
# (guest/bench and guest/reference-update), on 16 MiB images, alternating
# which goes first; prints the medians and the ratios' quartiles.
#
# Usage (as root, after tests/device/build.sh): tests/device/bench.sh
# KESTRAN_DEVICE_BENCH_PAIRS (7) is the number of pairs.
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=lib/story.sh
source "$here/lib/story.sh"

# Median and quartiles (q1-q3) of the numbers on standard input.
stats() {
    sort -g | awk '{ v[NR] = $1 }
        function q(p,  i, f) { i = 1 + (NR - 1) * p; f = int(i); return v[f] + (i - f) * (v[f + (f < NR)] - v[f]) }
        END { printf "%.3f %.3f-%.3f\n", q(0.5), q(0.25), q(0.75) }'
}

bench() {
    local bench_dir=$work/bench
    rm -rf "$bench_dir"
    mkdir -p "$bench_dir"
    head -c "$((bench_mib * 1024 * 1024))" /dev/urandom >"$bench_dir/current.sqsh"
    head -c "$((bench_mib * 1024 * 1024))" /dev/urandom >"$bench_dir/update.fir"
    make_sd "$bench_dir/sd.img" "kestran_current.sqsh=$bench_dir/current.sqsh" \
        "bench_original.sqsh=$bench_dir/current.sqsh"
    make_stick "$bench_dir/stick.img" "$bench_dir/update.fir"
    local boot_timeout=$((bench_pairs * 225 + 120))
    boot bench "$bench_dir/sd.img" "$bench_dir/stick.img" "" kestran_mode=bench \
        "kestran_pairs=$bench_pairs"
    [[ $BOOTED == bench ]] || die "the benchmark did not finish (console: $LOG)"
    console_has "bench: every run did the work" 'did not' none
    local lines
    lines=$(console | grep '^bench: pair ')
    local tool script ratios
    tool=$(awk '$4 == "tool" { print $5 / 100 }' <<<"$lines")
    script=$(awk '$4 == "script" { print $5 / 100 }' <<<"$lines")
    ratios=$(awk '$4 == "tool" { t[$3] = $5 } $4 == "script" { s[$3] = $5 }
        END { for (p in s) if (s[p] > 0) print t[p] / s[p] }' <<<"$lines")
    echo
    echo "In the guest (ARM1176 under qemu), ${bench_mib} MiB images, $bench_pairs pairs:"
    printf '%-8s %-18s %-18s %-12s %s\n' size "tool s (median)" "script s (median)" "median ratio" "ratios q1-q3"
    local t s r
    read -r t _ < <(stats <<<"$tool")
    read -r s _ < <(stats <<<"$script")
    read -r r q < <(stats <<<"$ratios")
    printf '%-8s %-18s %-18s %-12s %s\n' "${bench_mib} MiB" "$t" "$s" "$r" "$q"
    echo "(ratios: $(tr '\n' ' ' <<<"$ratios"))"
    local rename
    rename=$(awk '$4 == "tool" { t[$3] = $5 } $4 == "rename" { r[$3] = $5 }
        END { for (p in r) if (t[p] > 0) print r[p] / t[p] }' <<<"$lines")
    if [[ -n $rename ]]; then
        read -r t _ < <(awk '$4 == "rename" { print $5 / 100 }' <<<"$lines" | stats)
        read -r r q < <(stats <<<"$rename")
        echo "by renames: $t s (median); against the tool by copies: median ratio $r, q1-q3 $q"
        echo "(ratios: $(tr '\n' ' ' <<<"$rename"))"
    fi
}

run_story bench bench
