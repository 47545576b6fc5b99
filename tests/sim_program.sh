#!/usr/bin/env bash
# tollan-sim as a program: it writes the profile naming its modems' devices,
# a modem on one of them answers AT, and the transcript shows both sides;
# --help is on standard output with status 0, and its manual page has every
# option the usage names.
# Usage: sim_program.sh SOURCE_DIR BINARY_DIR
set -euo pipefail
src=$1 bin=$2/sim/tollan-sim
dir=$(mktemp -d)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
    rm -rf "$dir"
}
trap cleanup EXIT

"$bin" --help > "$dir/help" 2> "$dir/help.err" || { echo "--help exited $?"; exit 1; }
grep -q '^usage: tollan-sim ' "$dir/help" && [ ! -s "$dir/help.err" ] || { echo "--help not on stdout"; exit 1; }
status=0
"$bin" --no-such-option 1 > "$dir/bad" 2> "$dir/bad.err" || status=$?
[ "$status" = 2 ] && [ ! -s "$dir/bad" ] && grep -q '^usage: tollan-sim ' "$dir/bad.err" \
    || { echo "a usage error exited $status"; cat "$dir/bad" "$dir/bad.err"; exit 1; }
for option in $(grep -o -- '--[a-z0-9-]*' "$dir/help" | sort -u); do
    grep -qF -- "${option//-/\\-}" "$src/docs/tollan-sim.1" || { echo "tollan-sim(1) lacks $option"; exit 1; }
done

"$bin" --modem 5551000:1+2 --modem 5551001 --station 200:"$dir" \
    --profile "$dir/quarry.ini" --transcript "$dir/transcript.log" > "$dir/out" 2>&1 &
sim_pid=$!
for _ in $(seq 100); do grep -q '^profile' "$dir/out" 2>/dev/null && break; sleep 0.05; done
grep -q '^profile' "$dir/out" || { echo "tollan-sim did not start"; cat "$dir/out"; exit 1; }

grep -q '^\[Ports\]$' "$dir/quarry.ini"
com1=$(sed -n 's/^COM1=//p' "$dir/quarry.ini")
com2=$(sed -n 's/^COM2=//p' "$dir/quarry.ini")
[ -c "$com1" ] && [ -c "$com2" ] || { echo "no devices in the profile"; cat "$dir/quarry.ini"; exit 1; }
grep -q "^COM1 $com1 number 5551000$" "$dir/out"

# A plain host: the modem echoes, answers OK, and refuses class 2.0.
exec 3<>"$com1"
printf 'AT+FCLASS=?\r' >&3
reply=$(timeout 1 cat <&3 | tr -d '\r' || true)
echo "$reply" | grep -q '^0,1,2$' || { echo "unexpected reply: $reply"; exit 1; }
printf 'AT+FCLASS=2.0\r' >&3
reply=$(timeout 1 cat <&3 | tr -d '\r' || true)
echo "$reply" | grep -q '^ERROR$' || { echo "unexpected reply: $reply"; exit 1; }
exec 3>&-

grep -q 'COM1 <- AT+FCLASS=?<CR>' "$dir/transcript.log"
grep -q 'COM1 -> .*<CR><LF>ERROR<CR><LF>' "$dir/transcript.log"
echo ok
