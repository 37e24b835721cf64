#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the whole project for 32-bit x86 (i386) and runs its tests there.
#
# The 32-bit system is a Debian root made with debootstrap under $I386_ROOT
# (default /var/tmp/kovkit-i386) and reused when present; the packages in it
# come from scripts/install-deps.sh, run inside the root, so there is one
# package list. The source tree is bind-mounted at /src and built in
# /src/build-i386 (Release, warnings as errors; the valgrind runs are left to
# the 64-bit build, which has the same code paths) under `setarch i686`, so
# the build sees a 32-bit machine. Needs root (debootstrap, chroot, mount).
#
# Some kernels run no 32-bit programs (IA-32 emulation switched off: running
# one fails with "Exec format error"). There the root's programs run under
# qemu's user-mode emulator (qemu-user-static), registered with binfmt_misc
# for i386 programs: the same programs and results, several times slower.
# Some tests are left out there: the emulator (qemu 7.2) never delivers
# Ctrl-C to kovkit-run or kovkit-view, so the tests that interrupt them
# would wait for ever; and kovkit-view's screenshots, taken a fixed time after the first frame is
# drawn, can catch the window before it has settled at emulated speed.
#
#   scripts/test-i386.sh            create/refresh the root, build, run ctest
#   I386_CTEST_ARGS="-R flip" ...   pass arguments to ctest
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd -P)
root=${I386_ROOT:-/var/tmp/kovkit-i386}
suite=${I386_SUITE:-bookworm}
mirror=${I386_MIRROR:-http://deb.debian.org/debian}
jobs=${JOBS:-$(nproc)}
nice_cmd=(nice -n 10)

if [ "$(id -u)" -ne 0 ]; then
  echo "test-i386: needs root (debootstrap, chroot and mount); run it with sudo" >&2
  exit 1
fi

stamp() { printf 'test-i386: %s: %s\n' "$(date -u +%H:%M:%S)" "$*"; }
t0=$(date +%s)

# Makes sure the root's 32-bit programs run: natively when the kernel can,
# else through qemu-i386.
qemu_i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
qemu_i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
ensure_i386_runs() {
  chroot "$root" /bin/true 2>/dev/null && return 0
  stamp "this kernel runs no 32-bit programs; running them under qemu-i386"
  if [ ! -x /usr/bin/qemu-i386-static ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
      --no-install-recommends qemu-user-static >/dev/null
  fi
  local misc=/proc/sys/fs/binfmt_misc
  [ -e "$misc/register" ] || mount -t binfmt_misc binfmt_misc "$misc"
  # F: the kernel opens the emulator now, so it also serves inside the root.
  [ -e "$misc/qemu-i386" ] ||
    echo ":qemu-i386:M::$qemu_i386_magic:$qemu_i386_mask:/usr/bin/qemu-i386-static:F" \
      >"$misc/register"
  if ! chroot "$root" /bin/true; then
    echo "test-i386: the root's 32-bit programs do not run, not even under qemu-i386" >&2
    exit 1
  fi
}

# 1. The 32-bit root.
if [ ! -x "$root/usr/bin/apt-get" ] || [ ! -e "$root/.kovkit-debootstrap-done" ]; then
  if ! command -v debootstrap >/dev/null; then
    stamp "installing debootstrap"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
      --no-install-recommends debootstrap >/dev/null
  fi
  stamp "creating the i386 root in $root"
  # A run that was killed may have left its bind mounts: never delete through them.
  if grep -q " $root/" /proc/self/mounts; then
    grep " $root/" /proc/self/mounts | cut -d' ' -f2 | sort -r | xargs -r -n1 umount -l
  fi
  if grep -q " $root/" /proc/self/mounts; then
    echo "test-i386: $root still has mounts; unmount them first" >&2
    exit 1
  fi
  rm -rf --one-file-system "$root"
  mkdir -p "$root"
  # The first stage only unpacks; the second runs the root's own programs.
  "${nice_cmd[@]}" debootstrap --foreign --arch=i386 --variant=minbase "$suite" "$root" \
    "$mirror" >"$root.log" 2>&1 || { tail -n 30 "$root.log" >&2; exit 1; }
  ensure_i386_runs
  "${nice_cmd[@]}" chroot "$root" /debootstrap/debootstrap --second-stage >>"$root.log" 2>&1 || {
    tail -n 30 "$root.log" >&2; exit 1; }
  touch "$root/.kovkit-debootstrap-done"
else
  ensure_i386_runs
fi

mounts=()
cleanup() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount -l "${mounts[i]}" 2>/dev/null || true
  done
}
trap cleanup EXIT
bind() {  # bind SOURCE TARGET-INSIDE-ROOT
  mkdir -p "$root$2"
  mount --bind "$1" "$root$2"
  mounts+=("$root$2")
}
bind /proc /proc
bind /dev /dev
bind /sys /sys
bind "$src" /src
# The worktree's .git may point outside the tree; bind that too when it does.
if [ -f "$src/.git" ]; then
  gitdir=$(sed -n 's/^gitdir: //p' "$src/.git")
  common=$(git -C "$src" rev-parse --git-common-dir 2>/dev/null || true)
  for d in "$gitdir" "$common"; do
    [ -n "$d" ] && [ -d "$d" ] && case "$d" in /*) bind "$d" "$d" ;; esac
  done
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
t1=$(date +%s)

in_root() { "${nice_cmd[@]}" setarch i686 chroot "$root" /usr/bin/env -i \
  HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"; }

# An emulator registered for i386 programs runs them even where the kernel
# could (binfmt_misc comes first).
emulated=0
if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386; then emulated=1; fi

# 2. Packages (idempotent: only what is missing is installed).
stamp "installing packages in the i386 root"
in_root bash /src/scripts/install-deps.sh
t2=$(date +%s)

# 3. Build.
stamp "building for $(in_root uname -m) in /src/build-i386"
in_root cmake -S /src -B /src/build-i386 -DCMAKE_BUILD_TYPE=Release -DKOV_WERROR=ON \
  -DKOV_VALGRIND_TESTS=OFF >/dev/null
in_root cmake --build /src/build-i386 -j"$jobs"
t3=$(date +%s)

# 4. Tests.
stamp "running the tests"
status=0
skip=()
if [ "$emulated" = 1 ]; then
  stamp "under qemu-i386: leaving out RunnerTest.SecondsLimitAndInterruptEndWithASummary" \
    "and kovkit-view's screenshot and Ctrl-C tests"
  skip=(GTEST_FILTER=-RunnerTest.SecondsLimitAndInterruptEndWithASummary
    "PYTEST_ADDOPTS=-k 'not screenshot and not xor_marker and not viewer_runs_a_script and not interrupt_ends_the_viewer'")
fi
# shellcheck disable=SC2086
in_root "${skip[@]}" ctest --test-dir /src/build-i386 --output-on-failure -j"$jobs" \
  ${I386_CTEST_ARGS:-} || status=$?
t4=$(date +%s)
stamp "root $((t1 - t0)) s, packages $((t2 - t1)) s, build $((t3 - t2)) s, tests $((t4 - t3)) s"
exit $status
