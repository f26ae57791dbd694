#!/usr/bin/env bash
# Publishes a rule set (a container as kivrule pack or sign wrote it) to a running rule server:
#   publish.sh DIR FILE
# copied beside DIR/publish/current.kiv and renamed over it, so no request ever sees half of it.
# The next request is answered with it; nothing needs restarting.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: publish.sh DIR FILE" >&2; exit 2; }
mkdir -p "$1/publish"
cp -- "$2" "$1/publish/.current.kiv.tmp"
mv -f -- "$1/publish/.current.kiv.tmp" "$1/publish/current.kiv"
