#!/usr/bin/env bash
# Checks the service unit offline: `systemd-analyze verify` on a copy whose ExecStart names the program
# just built (verify wants an executable there, and the package's path is not installed here), and the
# exposure score of `systemd-analyze security` against a ceiling, so hardening is not dropped by accident.
# Needs no running systemd. Usage: check-unit.sh UNIT PROGRAM; exit status 77 when systemd-analyze is missing.
set -uo pipefail
unit=$1
program=$2
ceiling=2.0

if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "SKIP: systemd-analyze is missing (scripts/install-deps installs systemd)"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy=$work/$(basename "$unit")
sed "s:^\(ExecStart\|ExecStartPre\)=/usr/bin/quorvel3d :\1=$program :" "$unit" >"$copy"
grep -q "^ExecStart=$program " "$copy" || { echo "FAIL: no ExecStart=/usr/bin/quorvel3d in $unit"; exit 1; }

status=0
# The manual page is checked by the package test; it is not installed here.
if ! out=$(systemd-analyze verify --man=no "$copy" 2>&1) || [ -n "$out" ]; then
    echo "FAIL: systemd-analyze verify: $out"
    status=1
fi
score=$(systemd-analyze security --offline=yes "$copy" 2>&1 | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
echo "systemd-analyze security: exposure $score (ceiling $ceiling)"
if [ -z "$score" ] || awk -v s="$score" -v c="$ceiling" 'BEGIN { exit !(s > c) }'; then
    echo "FAIL: exposure ${score:-unknown} above $ceiling"
    status=1
fi
exit $status
