#!/usr/bin/env bash
# Whether this machine can execute 32-bit x86 programs, which 32-bit Wine needs: a kernel without
# IA-32 emulation refuses every i386 program (execve fails with "Exec format error"). A program of
# three instructions, assembled and linked for i386 with the host's binutils, is run with a short
# timeout. Prints one line saying what it found; exits 0 when such programs run, 1 when not.
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/probe.s" <<'PROBE'
.globl _start
_start:
  movl $1, %eax
  movl $0, %ebx
  int $0x80
PROBE
if ! { as --32 -o "$work/probe.o" "$work/probe.s" && ld -m elf_i386 -o "$work/probe" "$work/probe.o"; } \
    >"$work/build.out" 2>&1; then
  echo "this machine cannot execute 32-bit programs (no i386 program could be built to try: $(head -1 "$work/build.out"))"
  exit 1
fi
# Run by bash itself: `timeout` and other execvp callers would hand a refused binary to /bin/sh.
"$work/probe" >"$work/run.out" 2>&1 &
probe=$!
( sleep 10; kill -9 "$probe" 2>/dev/null ) &
watchdog=$!
wait "$probe"
status=$?
kill "$watchdog" 2>/dev/null
wait "$watchdog" 2>/dev/null
if [ "$status" -eq 0 ]; then
  echo "this machine can execute 32-bit programs"
  exit 0
fi
reason=$(sed -n 's/.*: \([^:]*\)$/\1/p' "$work/run.out" | head -1)
echo "this machine cannot execute 32-bit programs (the kernel refuses them: ${reason:-exit status $status})"
exit 1
