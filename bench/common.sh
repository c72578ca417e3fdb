# Shared by bench/peak-memory and bench/compare-peers (sourced, not run).
#
# Conventions: the build directory is $TM_BUILD_DIR (default: build/ at the top of the
# repository); the scripts build nothing. Scratch files go to a fresh directory under
# ${TMPDIR:-/tmp}, removed on exit unless --keep is given.

TM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TM_BUILD_DIR=${TM_BUILD_DIR:-$TM_ROOT/build}
TM_BIN=$TM_BUILD_DIR/bin

die() {
  echo "${0##*/}: $*" >&2
  exit 1
}

# Tools that must exist already: tells the user how to build them otherwise.
require_tonemap() {
  [[ -x $TM_BIN/tonemap ]] ||
    die "$TM_BIN/tonemap not found: run 'make build' first (or set TM_BUILD_DIR)"
}

# make_scene DIR MEGAPIXELS FORMAT: writes the procedural float RGB scene into DIR as
# DIR/scene.FORMAT and prints its path. exr: the tool's tm-make-scene (32-bit float
# OpenEXR, read through OpenImageIO); pfm: the benchmarks' tm-bench-scene
# (uncompressed; the tool and pfsin read it with their own code).
make_scene() {
  local dir=$1 mp=$2 format=$3 maker
  case $format in
    exr) maker=$TM_BIN/tm-make-scene ;;
    pfm) maker=$TM_BIN/tm-bench-scene ;;
    *) die "unknown scene format: $format (exr or pfm)" ;;
  esac
  [[ -x $maker ]] || die "$maker not found: run 'make build' first (or set TM_BUILD_DIR)"
  local file=$dir/scene.$format
  echo "making a ${mp}-MP scene with ${maker##*/} ..." >&2
  "$maker" "$file" --megapixels "$mp" >"$dir/scene.log" 2>&1 ||
    die "$maker failed: $(cat "$dir/scene.log")"
  [[ -s $file ]] || die "$maker wrote no $file"
  echo "$file"
}

# image_size FILE: prints "WIDTH HEIGHT" (PFM header, else oiiotool --info).
image_size() {
  local file=$1 header w h
  if [[ $file == *.pfm ]]; then
    header=$(head -c 64 "$file" | sed -n 2p)
    read -r w h <<<"$header"
  else
    command -v oiiotool >/dev/null || die "oiiotool (openimageio-tools) is needed to read the size of $file"
    header=$(oiiotool --info "$file" | head -1)
    [[ $header =~ ([0-9]+)\ x\ +([0-9]+) ]] || die "cannot read the size of $file: $header"
    w=${BASH_REMATCH[1]}
    h=${BASH_REMATCH[2]}
  fi
  [[ $w =~ ^[0-9]+$ && $h =~ ^[0-9]+$ ]] || die "cannot read the size of $file"
  echo "$w $h"
}

scratch_dir() {
  mktemp -d "${TMPDIR:-/tmp}/tm-bench.XXXXXX"
}

# timed_run LOG TIMEFILE CMD...: runs CMD with GNU time, whose report lands in
# TIMEFILE as "wall_s user_s sys_s maxrss_KiB"; stdout and stderr of CMD go to LOG.
# Falls back to a poll of VmHWM in /proc when /usr/bin/time is missing (a lower bound
# of the peak, sampled every 10 ms; CPU times are then not available: 0 0).
timed_run() {
  local log=$1 timefile=$2
  shift 2
  if [[ -x /usr/bin/time ]]; then
    /usr/bin/time -f '%e %U %S %M' -o "$timefile" "$@" >"$log" 2>&1
    return
  fi
  local start end pid hwm=0 v rc
  start=$(date +%s.%N)
  "$@" >"$log" 2>&1 &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    v=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
    [[ -n $v && $v -gt $hwm ]] && hwm=$v
    sleep 0.01
  done
  wait "$pid"
  rc=$?
  end=$(date +%s.%N)
  echo "$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a }') 0 0 $hwm" >"$timefile"
  return $rc
}

# Field N (1: wall, 2: user, 3: sys, 4: maxrss KiB) of a timed_run report (its last
# line: GNU time writes "Command exited with non-zero status" lines before it).
time_field() {
  tail -1 "$1" | awk -v n="$2" '{ print $n }'
}
