#!/bin/sh
# Conversion of a 512 MiB and a 2 GiB FAT32 image of random data into a
# salted container and into v3 containers of 16384-byte chunks (compression
# off and fast), verification included, each beside `cp` + `sync` of the same
# image in the same round; then the export of each container back to an
# image, beside the salted layout's export (bench/convert_bench.cpp measures;
# this script runs it for both sizes and says how busy the machine was).
#
#   bench/convert_perf.sh [ROUNDS] [SIZES_MIB]    (default 5 rounds, "512 2048")
#
# Environment: TW_BUILD_DIR (default build/release), BENCH_DIR (default
# /var/tmp; the largest image needs about three times its size there).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TW_BUILD_DIR:-$root/build/release}
rounds=${1:-5}
sizes=${2:-512 2048}
if [ ! -x "$build/bench/bench_convert_bench" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target bench_convert_bench >/dev/null
fi
echo "$(nproc) CPUs; load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for size in $sizes; do
  "$build/bench/bench_convert_bench" "${BENCH_DIR:-/var/tmp}" "$size" "$rounds"
  echo "load average after $size MiB: $(cut -d' ' -f1-3 /proc/loadavg)"
done
