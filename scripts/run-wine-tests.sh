#!/usr/bin/env bash
# The Windows build's tests under Wine: the cross-built stowline-cli.exe works
# on NTFS volume image files made by mkntfs and filled through ntfs-3g, through
# the Windows code paths (CreateFileW, positioned ReadFile/WriteFile, the
# lock files, CreateProcessW of the format), and its results are held against
# the Linux build's on the same files:
#   - info --json and inspect --json [--verify] agree byte for byte (timings aside);
#   - a backup under Wine equals the Linux backup of the same volume, image and checksums;
#   - a backup made under Wine restores under Linux, and one made under Linux
#     restores under Wine (with --verify), each compared with the source through ntfs-3g;
#   - failures under Wine end with a message and a nonzero status;
#   - the partition split script (AssistSplitPartition.bat) under Wine's cmd,
#     against a stand-in for diskpart (in test_windows_platform).
#
#   scripts/run-wine-tests.sh WIN_BUILD LINUX_BUILD
#
# WIN_BUILD is configured by `make windows-configure`; LINUX_BUILD holds the
# Linux stowline-cli. Wine's server runs once for the whole run in a private
# prefix under WIN_BUILD and is stopped at the end. Without Wine the script
# says so and exits 0; with Wine, anything missing is a failure.
set -uo pipefail

win_build=${1:-build-windows}
linux_build=${2:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 2

if ! command -v wine >/dev/null 2>&1 || ! command -v wineserver >/dev/null 2>&1; then
  echo "wine tests: SKIPPED (Wine is not installed)"
  exit 0
fi
for tool in mkntfs ntfs-3g fusermount3 x86_64-w64-mingw32-g++-posix; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "wine tests: $tool is missing (scripts/install-deps.sh installs it)" >&2
    exit 1
  fi
done
if [ "$(id -u)" -ne 0 ] || [ ! -e /dev/fuse ]; then
  echo "wine tests: need root and /dev/fuse for the ntfs-3g comparisons" >&2
  exit 1
fi

linux_cli=$linux_build/bin/stowline-cli
win_cli=$win_build/bin/stowline-cli.exe
if [ ! -x "$linux_cli" ]; then
  echo "wine tests: $linux_cli is missing: build the Linux programs first" >&2
  exit 1
fi
if ! cmake --build "$win_build" --target stowline-cli stowline-format-standin \
  stowline-diskpart-standin stowline_wine_tests \
  >"$win_build/wine-build.log" 2>&1; then
  tail -30 "$win_build/wine-build.log" >&2
  echo "wine tests: the Windows build failed (see $win_build/wine-build.log)" >&2
  exit 1
fi

export WINEPREFIX
WINEPREFIX=$(cd "$win_build" && pwd)/wine-prefix
export WINEDEBUG=-all
# No Mono or Gecko installers: the tests need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d "${TMPDIR:-/tmp}/stowline-wine.XXXXXX")
mounts=()

cleanup() {
  for m in "${mounts[@]}"; do
    fusermount3 -u "$m" 2>/dev/null || umount "$m" 2>/dev/null
  done
  wineserver -k 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$WINEPREFIX"
wineserver -p
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wine wineboot --init >/dev/null 2>&1
fi
system32=$WINEPREFIX/drive_c/windows/system32
cp "$win_build/bin/stowline-format-standin.exe" "$system32/format.com"
# Wine has no diskpart: the split script's tests (tests/wine/SplitScriptTest.cpp)
# run it against a stand-in that answers from canned answers.
cp "$win_build/bin/stowline-diskpart-standin.exe" "$system32/diskpart.exe"
win_cli_abs=$(cd "$(dirname "$win_cli")" && pwd)/$(basename "$win_cli")
linux_cli_abs=$(cd "$(dirname "$linux_cli")" && pwd)/$(basename "$linux_cli")

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "[  PASSED  ] $1"; }
fail() { failed=$((failed + 1)); echo "[  FAILED  ] $1${2:+: $2}"; }

# Both programs run in the work folder and are given the same relative names,
# so that what they print can be compared.
run_linux() { (cd "$work" && "$linux_cli_abs" "$@"); }
run_wine() { (cd "$work" && wine "$win_cli_abs" "$@"); }
# Timings differ from run to run; everything else must not.
without_timings() { grep -vE '"[a-z_]*_(ms|seconds|mib_per_s)"' "$1"; }

mount_ro() {  # image folder
  mkdir -p "$2"
  ntfs-3g -o ro "$1" "$2" || return 1
  mounts+=("$2")
}

unmount() {
  fusermount3 -u "$1"
  local kept=()
  for m in "${mounts[@]}"; do [ "$m" = "$1" ] || kept+=("$m"); done
  mounts=("${kept[@]}")
}

# The trees of two volumes: names, sizes and contents of every file.
same_tree() {  # image-a image-b
  local a=$work/mnt-a b=$work/mnt-b result=0
  mount_ro "$1" "$a" || return 1
  if ! mount_ro "$2" "$b"; then
    unmount "$a"
    return 1
  fi
  diff -r --no-dereference "$a" "$b" >"$work/tree.diff" 2>&1 || result=1
  (cd "$a" && find . -printf '%p %y %s\n' | sort) >"$work/list-a"
  (cd "$b" && find . -printf '%p %y %s\n' | sort) >"$work/list-b"
  cmp -s "$work/list-a" "$work/list-b" || result=1
  unmount "$a"
  unmount "$b"
  return $result
}

# The source: a 96 MiB NTFS volume with files of many sizes, folders, an
# empty file, a resident one, a large fragmented one and non-ASCII names.
source=$work/source.img
truncate -s 96M "$source"
mkntfs --quiet --fast --force --partition-start 0 --heads 255 --sectors-per-track 63 \
  --label WINETEST "$source" >/dev/null 2>&1
fill=$work/fill
mkdir -p "$fill"
ntfs-3g "$source" "$fill" && mounts+=("$fill")
mkdir -p "$fill/docs/deep/deeper" "$fill/Ünïcødé 文件"
: >"$fill/empty.txt"
echo "small resident text" >"$fill/docs/small.txt"
for i in $(seq 1 40); do
  head -c $((i * 7919)) /dev/urandom >"$fill/docs/deep/file$i.bin"
done
head -c 3000000 /dev/urandom >"$fill/Ünïcødé 文件/données.bin"
# Interleaved appends leave the large file in many runs.
for i in $(seq 1 24); do
  head -c 400000 /dev/urandom >>"$fill/fragmented.bin"
  head -c 65536 /dev/urandom >"$fill/docs/deeper-$i.tmp"
done
rm -f "$fill"/docs/deeper-1*.tmp
unmount "$fill"

# The unit and engine tests of the cross build (tests/wine/CMakeLists.txt). A
# test that needs the Linux tools skips and says so; those that compare with
# a host tool directly are left to the Linux run.
host_only="ImageFiles.CreateRemoveAndFreeSpaceAgreeWithTheSystem"
echo "[==========] Test programs of the Windows build under Wine"
echo "[ SKIPPED  ] $host_only: compares with the host's df, which Windows lacks"
for program in test_support test_engine test_engine_ptable test_pipeline test_image_format \
               test_ntfs_record test_backup_threads test_destination test_windows_platform; do
  if (cd "$win_build/bin" && wine "./$program.exe" --gtest_filter="-$host_only") \
       >"$work/$program.out" 2>&1; then
    pass "$program ($(grep -E '^\[  PASSED  \]' "$work/$program.out" | sed 's/.*\] //'))"
  else
    fail "$program" "$(grep -E '^\[  FAILED  \]|Failure' "$work/$program.out" | head -5)"
  fi
  grep -E '^\[  SKIPPED \] [A-Za-z]' "$work/$program.out" | sort -u
done

echo "[==========] Wine tests of $win_cli against $linux_cli"

# info and inspect agree.
if run_linux info source.img --json >"$work/info-linux.json" &&
   run_wine info source.img --json >"$work/info-wine.json" 2>"$work/info-wine.err" &&
   cmp -s <(without_timings "$work/info-linux.json") <(without_timings "$work/info-wine.json"); then
  pass "info --json agrees"
else
  fail "info --json agrees" "$(diff "$work/info-linux.json" "$work/info-wine.json" | head -5; cat "$work/info-wine.err")"
fi

# Backups: the same image from both.
if run_linux backup source.img linux.stw --yes --quiet >/dev/null &&
   run_wine backup source.img wine.stw --yes --quiet --verify >"$work/backup-wine.out" 2>&1 &&
   cmp -s "$work/linux.stw" "$work/wine.stw" && cmp -s "$work/linux.stw.sums" "$work/wine.stw.sums"; then
  pass "a backup under Wine equals the Linux one"
else
  fail "a backup under Wine equals the Linux one" "$(tail -3 "$work/backup-wine.out")"
fi

for image in linux.stw wine.stw; do
  for mode in "" "--verify"; do
    name="inspect --json $mode of $image agrees"
    # shellcheck disable=SC2086
    if run_linux inspect "$image" --json $mode >"$work/inspect-linux.json" &&
       run_wine inspect "$image" --json $mode >"$work/inspect-wine.json" 2>"$work/inspect-wine.err" &&
       cmp -s <(without_timings "$work/inspect-linux.json") <(without_timings "$work/inspect-wine.json"); then
      pass "$name"
    else
      fail "$name" "$(diff "$work/inspect-linux.json" "$work/inspect-wine.json" | head -5; cat "$work/inspect-wine.err")"
    fi
  done
done

# Restores across: the Wine backup under Linux, the Linux backup under Wine.
truncate -s 80M "$work/to-linux.img" "$work/to-wine.img"
if run_linux restore wine.stw to-linux.img --yes --quiet --no-repair --verify >"$work/restore-linux.out" 2>&1 &&
   same_tree "$source" "$work/to-linux.img"; then
  pass "a backup made under Wine restores under Linux"
else
  fail "a backup made under Wine restores under Linux" "$(tail -3 "$work/restore-linux.out"; head -5 "$work/tree.diff" 2>/dev/null)"
fi
if run_wine restore linux.stw to-wine.img --yes --quiet --no-repair --verify >"$work/restore-wine.out" 2>&1 &&
   same_tree "$source" "$work/to-wine.img"; then
  pass "a backup made under Linux restores under Wine"
else
  fail "a backup made under Linux restores under Wine" "$(tail -3 "$work/restore-wine.out"; head -5 "$work/tree.diff" 2>/dev/null)"
fi
# The volume restored under Wine backs up under Linux to a complete image.
if run_linux backup to-wine.img again.stw --yes --quiet >/dev/null 2>&1 &&
   run_wine inspect again.stw --verify >/dev/null 2>&1; then
  pass "the volume restored under Wine backs up again"
else
  fail "the volume restored under Wine backs up again"
fi

# Partition tables of files standing in for disks: MBR with an extended
# partition and its logical ones, and GPT.
truncate -s 64M "$work/mbr-disk.img" "$work/gpt-disk.img"
printf 'label: dos\n,16M,7\n,,f\n,8M,7\n,8M,7\n' | sfdisk -q "$work/mbr-disk.img" >/dev/null 2>&1
printf 'label: gpt\n,16M,EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n,8M,C12A7328-F81F-11D2-BA4B-00A0C93EC93B\n' |
  sfdisk -q "$work/gpt-disk.img" >/dev/null 2>&1
for disk in mbr-disk.img gpt-disk.img; do
  if run_linux ptable "$disk" --json >"$work/ptable-linux.json" 2>/dev/null;
     [ -s "$work/ptable-linux.json" ] &&
     run_wine ptable "$disk" --json >"$work/ptable-wine.json" 2>"$work/ptable-wine.err";
     cmp -s "$work/ptable-linux.json" "$work/ptable-wine.json"; then
    pass "ptable --json of $disk agrees"
  else
    fail "ptable --json of $disk agrees" "$(diff "$work/ptable-linux.json" "$work/ptable-wine.json" | head -5; cat "$work/ptable-wine.err")"
  fi
done

# Failures end with a message and a nonzero status; nothing is left behind.
head -c 1048576 /dev/zero >"$work/not-ntfs.img"
if run_wine backup not-ntfs.img nothing.stw --yes --quiet >/dev/null 2>"$work/fail.err"; then
  fail "a backup of a volume that is no NTFS fails" "it reported success"
elif [ ! -s "$work/fail.err" ] || [ -e "$work/nothing.stw" ]; then
  fail "a backup of a volume that is no NTFS fails" "no message, or an image was left"
else
  pass "a backup of a volume that is no NTFS fails with a message"
fi
cp "$work/linux.stw" "$work/damaged.stw"
cp "$work/linux.stw.sums" "$work/damaged.stw.sums"
printf 'garbage' | dd of="$work/damaged.stw" bs=1 seek=2000000 conv=notrunc status=none
if run_wine inspect damaged.stw --verify >/dev/null 2>&1; then
  fail "inspect --verify finds a damaged block" "it reported success"
else
  pass "inspect --verify finds a damaged block"
fi

echo "[==========] $((passed + failed)) Wine tests ran."
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
