#!/bin/sh
# The daemon's unit: systemd takes it, and it is hardened to an exposure of at most 4.0.
# $1: the unit template made for the build.
set -eu
if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "systemd-analyze is missing: tools/install-deps installs it"
    exit 1
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
# An instance, as a dongle's udev rule starts it; the device unit it binds to need not exist.
cp "$1" "$dir/irstackd@ttyUSB0.service"
systemd-analyze verify --man=no "$dir/irstackd@ttyUSB0.service"
systemd-analyze security --offline=yes --threshold=40 "$dir/irstackd@ttyUSB0.service" >"$dir/report"
grep "Overall exposure" "$dir/report"
