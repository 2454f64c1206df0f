#!/usr/bin/env bash
# Checks the command line's contract: help, version, the demo, and usage errors
# with exit code 2.
set -u
kaldrit="$1"
failures=0

expect() {  # expect EXIT_CODE PATTERN -- ARGS...
    local want="$1" pattern="$2"
    shift 3
    local output code
    output=$("$kaldrit" "$@" 2>&1)
    code=$?
    if [ "$code" -ne "$want" ] || ! grep -qE -- "$pattern" <<<"$output"; then
        echo "FAIL: kaldrit $* -> exit $code (want $want), output lacks /$pattern/:"
        echo "$output" | head -20
        failures=$((failures + 1))
    fi
}

expect 0 '^  demo +boot a simulated machine' -- --help
expect 0 '^  version' -- help
expect 0 'usage: kaldrit demo \[--seconds S\]' -- demo --help
expect 0 'usage: kaldrit demo' -- help demo
expect 0 '^kaldrit [0-9]+\.[0-9]+\.[0-9]+$' -- version
expect 0 'virtual time   2\.1000000 s' -- demo
expect 0 '1 ms timer     10000 ticks' -- demo --seconds 10
expect 0 'handover       20 items produced, 20 consumed' -- demo --stress-seed 7
expect 0 'at full speed' -- device --speed fs
expect 0 'Sampling rates of the clock source \(RANGE\): 44100 48000 .* 384000 Hz' -- device
pcap="${TMPDIR:-/tmp}/kaldrit_cli_$$.pcap"
expect 0 'Enumerated over the simulated bus: 7 control requests' -- device --speed fs --pcap "$pcap"
if command -v tshark >/dev/null; then
    if ! tshark -r "$pcap" -T fields -e usb.idVendor 2>/dev/null | grep -q 0x2e4a; then
        echo "FAIL: tshark does not find the vendor in the device's enumeration capture"
        failures=$((failures + 1))
    fi
fi
rm -f "$pcap"
expect 1 "cannot write" -- device --pcap /nonexistent/dir/x.pcap
expect 2 "--speed takes hs or fs, not 'ls'" -- device --speed ls
expect 2 "--drift-ppm takes a whole number" -- device --drift-ppm 1.5
expect 2 "unknown command 'frobnicate'" -- frobnicate
expect 2 "unknown option '--frob'" -- --frob
expect 2 "kaldrit demo: unknown option '--fast'" -- demo --fast
expect 2 "--seconds takes a number above 0" -- demo --seconds -1
expect 2 "--seconds needs a value" -- demo --seconds
expect 2 "--stress-seed takes a whole number" -- demo --stress-seed x
expect 2 "unexpected argument 'x'" -- version x
expect 2 '^usage: kaldrit COMMAND' --

[ "$failures" -eq 0 ] && echo "all command-line checks passed"
exit "$failures"
