#!/usr/bin/env bash
# Tells whether this machine can run the shipped 32-bit programs: exit 0 when
# it can, 1 when it cannot, and on standard output the reason, as a phrase
# for the caller's line ("this machine runs 32-bit x86 code", or why not).
#
# Machines of the same kind differ: some kernels refuse 32-bit programs
# ("Exec format error"), some fault on any 32-bit code segment. So a program
# of three instructions is run here, natively (no registered emulator may run
# it instead), and it must exit with its own status.
set -uo pipefail
wine32=/usr/lib/wine/wine

for handler in /proc/sys/fs/binfmt_misc/*; do
    # An emulator registered for i386 programs would run them, minutes per
    # Wine process: that is no machine that runs 32-bit code.
    if [ -f "$handler" ] && grep -q '^enabled' "$handler" 2>/dev/null &&
       grep -q '^magic 7f454c4601010100000000000000000002000300' "$handler" 2>/dev/null; then
        echo "this machine runs 32-bit x86 programs only through an emulator ($(basename "$handler"))"
        exit 1
    fi
done

probe="$(mktemp)"
trap 'rm -f "$probe"' EXIT
# A static ELF32 i386 program: header, one loadable segment, then
# "mov eax, 1; mov ebx, 7; int 0x80" (exit 7).
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'\
'\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00'\
'\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00'\
'\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'\
'\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'\
'\xb8\x01\x00\x00\x00\xbb\x07\x00\x00\x00\xcd\x80' > "$probe"
chmod +x "$probe"
# Started through bash's exec, not timeout's own: a C library that cannot
# execute a file ("Exec format error") hands it to /bin/sh as a script, and
# the shell's "not found" (127) would hide why the kernel refused it.
error="$(timeout 10 bash -c 'exec "$0"' "$probe" 2>&1)"
status=$?
case $status in
    7) ;;
    124) echo "this machine does not run 32-bit x86 code (a 32-bit program did not end within 10 s)"; exit 1 ;;
    126|127)
        reason="${error%%$'\n'*}"
        reason="${reason##*: }"
        [ -n "$reason" ] || reason="status $status"
        dmesg 2>/dev/null | grep -q '32-bit emulation disabled' &&
            reason="$reason; its 32-bit emulation is disabled"
        echo "this machine does not run 32-bit x86 code (the kernel refuses to start a 32-bit program: $reason)"
        exit 1 ;;
    *) echo "this machine does not run 32-bit x86 code (a 32-bit program ended with status $status instead of 7)"; exit 1 ;;
esac
if [ ! -x "$wine32" ]; then
    echo "this machine runs 32-bit x86 code, but 32-bit Wine ($wine32) is not installed"
    exit 1
fi
echo "this machine runs 32-bit x86 code"
