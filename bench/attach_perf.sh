#!/bin/sh
# An attached container beside a loop device over its plain image, in one
# run: sequential 1 MiB reads (O_DIRECT) of the disk's block device, and
# reading one 256 MiB file through the mounted FAT32 filesystem (the same
# FUSE driver in both set-ups, with the same options as the broker's mount).
#
# The attached set-up is the whole road: tarnwick-worker serving a salted
# AES-256-XTS container read-only, the broker's "attach" logging the
# initiator service in, its loop device over the FUSE file of the LUN, and
# the volume's own loop device under the mount.
#
#   bench/attach_perf.sh [ROUNDS]      (default 3 rounds of each measurement)
#
# Needs root (a private mount namespace with tmpfs over /run/tarnwick,
# /run/media and /var/lib/tarnwick). Environment: TW_BUILD_DIR (default
# build/release), BENCH_DIR (default a new folder in /var/tmp; about 700 MiB).
set -eu
if [ "$(id -u)" -ne 0 ]; then
  echo "attach_perf: needs root" >&2
  exit 1
fi
if [ "${TW_BENCH_NAMESPACE:-}" != 1 ]; then
  exec env TW_BENCH_NAMESPACE=1 unshare -m --propagation private "$0" "$@"
fi
for folder in /run/tarnwick /run/media /var/lib/tarnwick; do
  mkdir -p "$folder"
  mount -t tmpfs -o mode=0755 tmpfs "$folder"
done

root=$(cd "$(dirname "$0")/.." && pwd)
build=${TW_BUILD_DIR:-$root/build/release}
rounds=${1:-3}
bin=$build/bin
if [ ! -x "$bin/tarnwick-worker" ] || [ ! -x "$bin/tarnwick-broker" ] ||
   [ ! -x "$bin/tarnwick-initiator" ] || [ ! -x "$bin/tarnwick-engine" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target tarnwick-worker tarnwick-engine tarnwick-broker \
    tarnwick-initiator >/dev/null
fi

work=$(mktemp -d "${BENCH_DIR:-/var/tmp}/tw-attach-perf-XXXXXX")
worker_pid=
broker_pid=
loop=
cleanup() {
  for m in "$work/plain-mount" /run/media/root/*; do
    mountpoint -q "$m" 2>/dev/null && umount "$m"
  done
  [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
  [ -n "$worker_pid" ] && kill "$worker_pid" 2>/dev/null && wait "$worker_pid" 2>/dev/null
  if [ -n "$broker_pid" ]; then
    kill -TERM "$broker_pid" 2>/dev/null && wait "$broker_pid" 2>/dev/null
  fi
  if [ -s /run/tarnwick/initiator.pid ]; then
    kill -TERM "$(cat /run/tarnwick/initiator.pid)" 2>/dev/null || true
    sleep 1
  fi
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
mkdir -m 0700 "$work/run"
export XDG_RUNTIME_DIR="$work/run"
password=bench-password
id=5d1c7a0e-3b6f-4e55-9a6b-2f0c8e4d1a20

# A FAT32 image holding one 256 MiB file of random bytes.
truncate -s 320M "$work/disk.img"
mkfs.vfat -F 32 -n BENCH "$work/disk.img" >/dev/null
dd if=/dev/urandom of="$work/big.bin" bs=1M count=256 status=none
MTOOLS_SKIP_CHECK=1 mcopy -i "$work/disk.img" "$work/big.bin" ::/BIG.BIN
rm "$work/big.bin"
request() { # $1 kind, $2 current, $3 new
  python3 -c '
import struct, sys
kind, cur, new = int(sys.argv[1]), sys.argv[2].encode(), sys.argv[3].encode()
head = struct.pack("<IIII", kind, 255, len(cur), 0)
if kind == 2:
    head += struct.pack("<I", len(new))
sys.stdout.buffer.write(head + cur + (new if kind == 2 else b""))' "$@"
}
request 2 "" "$password" | "$bin/tarnwick-engine" convert "$work/disk.img" "$work/disk.zcx" 9 \
  >/dev/null
# Both files in the page cache, so that neither set-up reads the host's disk.
cat "$work/disk.img" "$work/disk.zcx" >/dev/null

# One framed JSON request to the broker and its reply on standard output.
broker() { # $1 request text
  python3 -c '
import json, socket, struct, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.connect("/run/tarnwick/Tarnwick.Broker")
body = sys.argv[1].encode()
s.sendall(struct.pack("<I", len(body)) + body)
def take(n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        if not chunk:
            sys.exit("the broker closed the connection")
        data += chunk
    return data
(length,) = struct.unpack("<I", take(4))
print(take(length).decode())' "$1"
}
member() { # $1 member, $2 JSON text
  python3 -c 'import json, sys; print(json.loads(sys.argv[2]).get(sys.argv[1], ""))' "$1" "$2"
}

"$bin/tarnwick-broker" 2>"$work/broker.err" &
broker_pid=$!
for _ in $(seq 1 100); do
  [ -S /run/tarnwick/Tarnwick.Broker ] && break
  sleep 0.1
done

attach() {
  head -c 80 /dev/zero >"$work/status.bin"
  request 1 "$password" "" | "$bin/tarnwick-worker" serve "$id" "$work/disk.zcx" \
    "$work/status.bin" read-only >"$work/ready" 2>"$work/worker.log" &
  worker_pid=$!
  for _ in $(seq 1 100); do
    [ -s "$work/ready" ] && break
    sleep 0.1
  done
  ready=$(cat "$work/ready")
  start=$(python3 -c '
import os, sys
fields = open("/proc/%s/stat" % sys.argv[1]).read().rsplit(")", 1)[1].split()
ticks = int(fields[19])
boot = [l for l in open("/proc/stat") if l.startswith("btime")][0].split()[1]
hz = os.sysconf("SC_CLK_TCK")
print(int(boot) * 10000000 + ticks * 10000000 // hz)' "$worker_pid")
  record=$(broker "{\"action\":\"attach\",\"version\":1,\"id\":\"$id\",\"workerPid\":$worker_pid,\
\"workerStart\":$start,\"port\":$(member port "$ready"),\"target\":\"$(member target "$ready")\",\
\"chapName\":\"tarnwick\",\"chapSecret\":\"$(member chapSecret "$ready")\",\"readOnly\":true}")
  device=$(member device "$record")
  mount_point=$(member mountPoint "$record")
  if [ -z "$mount_point" ]; then
    echo "attach failed: $record" >&2
    exit 1
  fi
}
detach() {
  broker "{\"action\":\"unmount\",\"version\":1,\"id\":\"$id\"}" >/dev/null
  broker "{\"action\":\"finalize\",\"version\":1,\"id\":\"$id\"}" >/dev/null
  kill -TERM "$worker_pid"
  wait "$worker_pid" || true
  worker_pid=
}
plain_attach() {
  loop=$(losetup -r -f --show "$work/disk.img")
  mkdir -p "$work/plain-mount"
  fusefat -o ro,nosuid,nodev,allow_other,default_permissions,uid=0,gid=0,umask=077 \
    "$loop" "$work/plain-mount" >/dev/null 2>&1
  device=$loop
  mount_point=$work/plain-mount
}
plain_detach() {
  umount "$work/plain-mount"
  sleep 0.2
  losetup -d "$loop"
  loop=
}

# MiB/s of reading $1 with 1 MiB reads; $2 extra dd flags.
rate() {
  t0=$(date +%s%N)
  bytes=$(dd if="$1" of=/dev/null bs=1M $2 2>&1 | sed -n 's/^\([0-9]*\) bytes.*/\1/p')
  t1=$(date +%s%N)
  echo "$bytes $t0 $t1" | awk '{ printf "%.1f", ($1 / 1048576) / (($3 - $2) / 1e9) }'
}

echo "disk: 320 MiB FAT32 image, AES-256-XTS salted container, read-only; $rounds rounds"
for r in $(seq 1 "$rounds"); do
  attach
  disk=$(rate "$device" iflag=direct)
  file=$(rate "$mount_point/BIG.BIN" "")
  detach
  plain_attach
  pdisk=$(rate "$device" iflag=direct)
  pfile=$(rate "$mount_point/BIG.BIN" "")
  plain_detach
  echo "round $r: disk reads MiB/s: attached $disk, plain loop $pdisk;" \
    "256 MiB file MiB/s: attached $file, plain loop $pfile"
done
