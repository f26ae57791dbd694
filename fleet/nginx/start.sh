#!/usr/bin/env bash
# Runs kiv's rule server: renders nginx.conf.in into DIR/nginx.conf and runs Debian's nginx on it
# in the foreground (the caller owns the process: SIGTERM or SIGQUIT stops it).
#   start.sh --dir DIR --cert CERT.pem --key KEY.pem [--listen ADDR:PORT] [--rate Nr/s]
#            [--burst N] [--retry-after S] [--workers N] [--user NAME] [--check]
# DIR receives nginx.conf, logs/ (requests.jsonl, error.log), tmp/ and nginx.pid; publish.sh
# puts the signed set in DIR/publish/. --check only renders and tests the configuration.
# --rate is N requests a second (Nr/s) or a minute (Nr/m). Defaults: --listen 127.0.0.1:8443,
# --rate 200r/s, --burst 400,
# --retry-after 600, --workers auto, --user the one running this script.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

die() { echo "start.sh: $*" >&2; exit 2; }
dir= cert= key= listen=127.0.0.1:8443 rate=200r/s burst=400 retry_after=600 workers=auto
user=$(id -un) check=0
while [ $# -gt 0 ]; do
  case "$1" in
    --check) check=1; shift; continue ;;
    --dir|--cert|--key|--listen|--rate|--burst|--retry-after|--workers|--user)
      [ $# -ge 2 ] || die "$1 needs a value" ;;
    *) die "unknown argument '$1' (see the head of $0)" ;;
  esac
  case "$1" in
    --dir) dir=$2 ;; --cert) cert=$2 ;; --key) key=$2 ;; --listen) listen=$2 ;;
    --rate) rate=$2 ;; --burst) burst=$2 ;; --retry-after) retry_after=$2 ;;
    --workers) workers=$2 ;; --user) user=$2 ;;
  esac
  shift 2
done
[ -n "$dir" ] && [ -n "$cert" ] && [ -n "$key" ] || die "--dir, --cert and --key are needed"

# Every value goes into the configuration as one nginx word: only characters that cannot end a
# word, start a comment or a block, or be read as a variable.
word() {
  [[ $2 =~ ^[A-Za-z0-9._/:+-]+$ ]] || die "$1 '$2' has characters nginx would misread"
}
number() {
  [[ $2 =~ ^[0-9]{1,9}$ ]] && [ "$2" -ge "${3:-0}" ] || die "$1 needs a whole number (at least ${3:-0}), not '$2'"
}
for v in dir cert key; do word "--$v" "${!v}"; done  # before anything is made at the path
mkdir -p "$dir/logs" "$dir/tmp" "$dir/publish"
dir=$(cd "$dir" && pwd)
cert=$(cd "$(dirname "$cert")" && pwd)/$(basename "$cert")
key=$(cd "$(dirname "$key")" && pwd)/$(basename "$key")
for v in dir cert key listen user; do word "--$v" "${!v}"; done
[[ $rate =~ ^[1-9][0-9]{0,8}r/[sm]$ ]] || die "--rate needs Nr/s or Nr/m (N at least 1), not '$rate'"
number --burst "$burst" 1
number --retry-after "$retry_after"
[ "$workers" = auto ] || number --workers "$workers" 1
word --js "$here/kiv_rules.js"
modules=/usr/lib/nginx/modules
[ -f "$modules/ngx_http_js_module.so" ] ||
  die "$modules/ngx_http_js_module.so is missing: install nginx and libnginx-mod-http-js"

sed -e "s|@DIR@|$dir|g" -e "s|@CERT@|$cert|g" -e "s|@KEY@|$key|g" -e "s|@LISTEN@|$listen|g" \
    -e "s|@RATE@|$rate|g" -e "s|@BURST@|$burst|g" -e "s|@RETRY_AFTER@|$retry_after|g" \
    -e "s|@WORKERS@|$workers|g" -e "s|@USER@|$user|g" -e "s|@JS@|$here/kiv_rules.js|g" \
    -e "s|@MODULES@|$modules|g" "$here/nginx.conf.in" >"$dir/nginx.conf.tmp"
mv "$dir/nginx.conf.tmp" "$dir/nginx.conf"
# -e: the log nginx writes before it has read the configuration goes there too, not to /var/log.
nginx -q -t -e "$dir/logs/error.log" -p "$dir" -c "$dir/nginx.conf"
[ "$check" = 1 ] && exit 0
exec nginx -e "$dir/logs/error.log" -p "$dir" -c "$dir/nginx.conf"
