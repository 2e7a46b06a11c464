#!/usr/bin/env bash
# calibrator-cli --list-ports over pseudo-terminals in the port folder (bxsim's), with
# a fake sysfs tree and a fake /dev/serial/by-id: the USB adapter's facts, a number
# linked to a stable name shown with its device, a port another program holds, and
# the JSON a script reads.
set -euo pipefail
build=${1:?build directory}
source "$(dirname "$0")/lib/bxsim.bash"
export KALMEON_SYSFS_ROOT=$work/sys KALMEON_SERIAL_BY_ID_DIR=$work/by-id
mkdir -p "$KALMEON_PORTS_DIR" "$KALMEON_SERIAL_BY_ID_DIR"

# Com 150: bxsim's terminal, described by sysfs as a USB adapter's tty.
start_sim --com 150
tty=$(basename "$pty")
usb=$work/sys/devices/pci0000:00/usb1/1-1
mkdir -p "$usb/1-1:1.0/$tty" "$work/sys/class/tty/$tty"
ln -s "$usb/1-1:1.0" "$work/sys/class/tty/$tty/device"
printf '1a86\n' > "$usb/idVendor"
printf '7523\n' > "$usb/idProduct"
printf 'Kalmeon\n' > "$usb/manufacturer"
printf 'Test Adapter\n' > "$usb/product"   # no serial file: the kernel had none
stable=$KALMEON_SERIAL_BY_ID_DIR/usb-Kalmeon_Test_Adapter-if00-port0
ln -s "$pty" "$stable"
# Com 151: the stable name, linked in the port folder.
ln -s "$stable" "$KALMEON_PORTS_DIR/com151"

"$cli" --list-ports > "$work/out" 2>&1 || fail "exit $? from --list-ports"
expected="Com 150 free
        $pty
        also $stable
        USB 1a86:7523 Kalmeon Test Adapter
Com 151 free
        $stable -> $pty
        USB 1a86:7523 Kalmeon Test Adapter"
grep -qxF "Com 150 free" "$work/out" || fail "Com 150 not listed as free"
python3 - "$work/out" "$expected" <<'PY' || fail "the two ports' facts differ"
import sys
out = open(sys.argv[1]).read()
sys.exit(0 if sys.argv[2] + "\n" in out else 1)
PY
grep -q "serial number" "$work/out" && fail "a serial number was made up"

# Held by another program: listed as in use, with the same facts.
flock "$pty" sleep 30 &
holder=$!
for _ in $(seq 50); do "$cli" --list-ports | grep -qx "Com 150 in use by another program" && break; sleep 0.1; done
"$cli" --list-ports --json > "$work/out" 2>&1 || fail "exit $? from --list-ports --json"
kill "$holder"
python3 - "$work/out" "$pty" "$stable" <<'PY' || fail "JSON"
import json, sys
ports = {p["com"]: p for p in map(json.loads, open(sys.argv[1]).read().splitlines())}
pty, stable = sys.argv[2], sys.argv[3]
held, linked = ports[150], ports[151]
assert held["path"] == pty and held["inUse"] is True and held["state"] == "inUse", held
assert held["stableNames"] == [stable], held
assert held["usb"] == {"vendorId": "1a86", "productId": "7523", "manufacturer": "Kalmeon",
                       "product": "Test Adapter"}, held
assert linked["path"] == stable and linked["device"] == pty, linked
PY
echo "list-ports: pseudo-terminals in the port folder, fake sysfs: ok"
