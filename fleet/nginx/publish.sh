#!/usr/bin/env bash
# Publishes a rule set (a container as kivrule pack or sign wrote it) to a running rule server:
#   publish.sh DIR FILE
# copied to a name of its own beside DIR/publish/current.kiv and renamed over it, so no request
# ever sees half of it, and two runs at the same moment leave one of their two sets whole. The
# next request is answered with it; nothing needs restarting.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: publish.sh DIR FILE" >&2; exit 2; }
[ -f "$2" ] && [ -r "$2" ] || { echo "publish.sh: '$2' is no readable file" >&2; exit 2; }
mkdir -p -- "$1/publish"
tmp=$(mktemp -- "$1/publish/.current.kiv.XXXXXX")
trap 'rm -f -- "$tmp"' EXIT
cp -- "$2" "$tmp"
chmod 644 -- "$tmp"  # the server's workers run as another user; mktemp made it 0600
sync -- "$tmp"       # on disk before the rename makes it the set: a power cut leaves a whole one
mv -f -- "$tmp" "$1/publish/current.kiv"
