#!/usr/bin/env bash
# Publishes a rule set (a container as kivrule pack or sign wrote it) to a running rule server:
#   publish.sh DIR FILE
# copied to a name of its own beside DIR/publish/current.kiv and renamed over it, so no request
# ever sees half of it, and two runs at the same moment leave one of their two sets whole. The
# next request is answered with it; nothing needs restarting.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: publish.sh DIR FILE" >&2; exit 2; }
die() { echo "publish.sh: $*" >&2; exit 2; }
[ -f "$2" ] && [ -r "$2" ] || die "'$2' is no readable file"
# A file no router takes would be sent whole to every router at every check, for ever: one
# that is no kiv container, or larger than the 4 MiB a router downloads.
cmp -s -i 16:0 -n 15 -- "$2" <(printf 'TORVKIVENCRYPT\0') ||
  die "'$2' is no rule set as kivrule pack or sign writes it: nothing published"
[ "$(stat -c %s -- "$2")" -le 4194304 ] ||
  die "'$2' is larger than the 4 MiB a router takes: nothing published"
mkdir -p -- "$1/publish"
tmp=$(mktemp -- "$1/publish/.current.kiv.XXXXXX")
trap 'rm -f -- "$tmp"' EXIT
cp -- "$2" "$tmp"
chmod 644 -- "$tmp"  # the server's workers run as another user; mktemp made it 0600
sync -- "$tmp"       # on disk before the rename makes it the set: a power cut leaves a whole one
mv -f -- "$tmp" "$1/publish/current.kiv"
