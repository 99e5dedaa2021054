#!/bin/sh
# Prints the device's serial number, or on standard error why there is none.
# Usage: serial-number.sh [ADDRESS [TOOL]], by default eth0's MAC in sysfs and the installed MACtoSN.
address=${1:-/sys/class/net/eth0/address}
tool=${2:-/ZOR/System/bin/MACtoSN}
# sysfs writes the MAC in lower case; the tool compares bytes. $(...) drops the line end.
mac=$(tr a-f A-F <"$address")
serial=$("$tool" "$mac")
# The tool exits 0 either way: the text tells a serial from a failure, and no text means it did not run.
case $serial in
  Fail:Mac=* | '') printf 'no serial number: %s\n' "${serial:-MACtoSN did not run}" >&2 ;;
  *) printf 'serial number: %s\n' "$serial" ;;
esac
