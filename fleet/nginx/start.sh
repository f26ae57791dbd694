#!/usr/bin/env bash
# Runs kiv's rule server: renders nginx.conf.in into DIR/nginx.conf and runs Debian's nginx on it
# in the foreground (the caller owns the process: SIGTERM or SIGQUIT stops it).
#   start.sh --dir DIR (--cert CERT.pem --key KEY.pem | --self-signed NAME) [--listen ADDR:PORT]
#            [--rate Nr/s] [--burst N] [--client-rate Nr/s] [--client-burst N]
#            [--retry-after S] [--workers N] [--user NAME] [--check]
# DIR receives nginx.conf, logs/ (requests.jsonl, error.log), tmp/ and nginx.pid; publish.sh
# puts the signed set in DIR/publish/. --check only renders and tests the configuration.
# --self-signed NAME makes (once, in DIR/tls/) a throwaway CA and a certificate for NAME signed
# by it, for a staging server, and prints the CA's path for the routers' trust store.
# --rate and --client-rate are N requests a second (Nr/s) or a minute (Nr/m). Defaults: --listen
# 127.0.0.1:8443, --rate 200r/s, --burst 400, --client-rate 10r/s, --client-burst 100,
# --retry-after 600 (60..21600), --workers auto, --user www-data when started as root (workers
# never run as root), else the one running this script.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

die() { echo "start.sh: $*" >&2; exit 2; }
dir= cert= key= self_signed= listen=127.0.0.1:8443 rate=200r/s burst=400 client_rate=10r/s
client_burst=100 retry_after=600 workers=auto user= check=0
while [ $# -gt 0 ]; do
  case "$1" in
    --check) check=1; shift; continue ;;
    --dir|--cert|--key|--self-signed|--listen|--rate|--burst|--client-rate|--client-burst|\
    --retry-after|--workers|--user)
      [ $# -ge 2 ] || die "$1 needs a value" ;;
    *) die "unknown argument '$1' (see the head of $0)" ;;
  esac
  case "$1" in
    --dir) dir=$2 ;; --cert) cert=$2 ;; --key) key=$2 ;; --self-signed) self_signed=$2 ;;
    --listen) listen=$2 ;; --rate) rate=$2 ;; --burst) burst=$2 ;;
    --client-rate) client_rate=$2 ;; --client-burst) client_burst=$2 ;;
    --retry-after) retry_after=$2 ;; --workers) workers=$2 ;; --user) user=$2 ;;
  esac
  shift 2
done
[ -n "$dir" ] || die "--dir is needed"
if [ -n "$self_signed" ]; then
  [ -z "$cert$key" ] || die "--self-signed makes the certificate: no --cert or --key with it"
  # A host name or an IPv4 address, nothing openssl's -subj or -extfile would read otherwise.
  [[ $self_signed =~ ^[A-Za-z0-9]([A-Za-z0-9.-]{0,251}[A-Za-z0-9])?$ ]] ||
    die "--self-signed needs a host name or an IPv4 address, not '$self_signed'"
else
  [ -n "$cert" ] && [ -n "$key" ] || die "--cert and --key (or --self-signed NAME) are needed"
fi

# Every value goes into the configuration as one nginx word: only characters that cannot end a
# word, start a comment or a block, or be read as a variable.
word() {
  [[ $2 =~ ^[A-Za-z0-9._/:+-]+$ ]] || die "$1 '$2' has characters nginx would misread"
}
number() { # option value least [most]
  [[ $2 =~ ^[0-9]{1,9}$ ]] && [ "$2" -ge "$3" ] && [ "$2" -le "${4:-999999999}" ] ||
    die "$1 needs a whole number from $3${4:+ to $4}, not '$2'"
}
rate() {
  [[ $2 =~ ^[1-9][0-9]{0,8}r/[sm]$ ]] || die "$1 needs Nr/s or Nr/m (N at least 1), not '$2'"
}
for v in dir cert key; do [ -z "${!v}" ] || word "--$v" "${!v}"; done  # before anything is made
rate --rate "$rate"
rate --client-rate "$client_rate"
number --burst "$burst" 1
number --client-burst "$client_burst" 1
# Below a minute a shedding server would be asked again on nearly every tick of every router;
# above 6 h the router waits 6 h anyway.
number --retry-after "$retry_after" 60 21600
[ "$workers" = auto ] || number --workers "$workers" 1
# The workers parse every client's form: started as root, they drop to an unprivileged user.
if [ -z "$user" ]; then
  if [ "$(id -u)" = 0 ]; then user=www-data; else user=$(id -un); fi
fi
word --user "$user"
uid=$(id -u -- "$user" 2>/dev/null) || die "--user '$user' is no user here"
[ "$uid" != 0 ] || die "--user '$user' is root: the workers must run as an unprivileged user"
[ "$(id -u)" = 0 ] || [ "$user" = "$(id -un)" ] ||
  die "--user '$user' needs start.sh run as root (it runs as $(id -un))"
modules=/usr/lib/nginx/modules
[ -f "$modules/ngx_http_js_module.so" ] ||
  die "$modules/ngx_http_js_module.so is missing: install nginx and libnginx-mod-http-js"

mkdir -p "$dir/logs" "$dir/tmp" "$dir/publish"
dir=$(cd "$dir" && pwd)
word --dir "$dir"
# The workers read the published set: a directory they cannot reach would answer every router
# "no update" while all looked well.
if [ "$(id -u)" = 0 ] && ! runuser -u "$user" -- test -x "$dir/publish" -a -r "$dir/publish"; then
  die "the workers' user '$user' cannot read $dir/publish (each directory above it needs o+x)"
fi

# The certificate in DIR/tls is for NAME, has a week left, is signed by its ca.pem and goes with
# its key: a set torn by a run cut short, or planted, is made anew.
usable_tls() {
  local tls=$dir/tls
  [ "$(cat "$tls/name" 2>/dev/null)" = "$1" ] &&
    openssl x509 -in "$tls/server.pem" -noout -checkend 604800 >/dev/null 2>&1 &&
    openssl verify -CAfile "$tls/ca.pem" "$tls/server.pem" >/dev/null 2>&1 &&
    [ "$(openssl x509 -in "$tls/server.pem" -noout -pubkey 2>/dev/null)" = \
      "$(openssl pkey -in "$tls/server.key" -pubout 2>/dev/null)" ]
}
# A throwaway CA and a certificate for NAME, made once and kept while usable: the routers that
# trust the CA go on trusting it across restarts. The CA's key is deleted once it has signed,
# so nothing else can be made with it.
self_sign() {
  local tls=$dir/tls name=$1 alt tmp
  usable_tls "$name" && return 0
  if [[ $name =~ ^[0-9]{1,3}(\.[0-9]{1,3}){3}$ ]]; then alt=IP:$name; else alt=DNS:$name; fi
  mkdir -p "$tls"
  tmp=$(mktemp -d "$tls/.new.XXXXXX")
  (
    cd "$tmp"
    umask 077
    ec=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes)
    openssl req -x509 "${ec[@]}" -days 3650 -subj "/CN=kiv staging CA for $name" \
      -keyout ca.key -out ca.pem
    printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
      "$alt" >server.ext
    openssl req "${ec[@]}" -subj "/CN=$name" -keyout server.key -out server.csr
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 90 \
      -extfile server.ext -out server.pem
    chmod 644 ca.pem server.pem
    echo "$name" >name
    rm -f ca.key ca.srl server.csr server.ext
  ) >"$tmp/openssl.out" 2>&1 || { cat "$tmp/openssl.out" >&2; rm -rf "$tmp"; die "openssl failed"; }
  rm -f "$tmp/openssl.out"
  # The name goes first and comes back last: a run cut short in between leaves no name, and
  # the next start makes a whole new set.
  rm -f "$tls/name"
  mv -f "$tmp/server.key" "$tmp/server.pem" "$tmp/ca.pem" "$tls/"
  mv -f "$tmp/name" "$tls/name"
  rm -rf "$tmp"
}
if [ -n "$self_signed" ]; then
  self_sign "$self_signed"
  cert=$dir/tls/server.pem key=$dir/tls/server.key
  echo "start.sh: routers trust this server through the CA $dir/tls/ca.pem" \
    "(KIV_CA_BUNDLE, or the router's trust store)"
fi
cert=$(cd "$(dirname "$cert")" && pwd)/$(basename "$cert")
key=$(cd "$(dirname "$key")" && pwd)/$(basename "$key")
for v in cert key listen; do word "--$v" "${!v}"; done
word --js "$here/kiv_rules.js"

sed -e "s|@DIR@|$dir|g" -e "s|@CERT@|$cert|g" -e "s|@KEY@|$key|g" -e "s|@LISTEN@|$listen|g" \
    -e "s|@RATE@|$rate|g" -e "s|@BURST@|$burst|g" -e "s|@CLIENT_RATE@|$client_rate|g" \
    -e "s|@CLIENT_BURST@|$client_burst|g" -e "s|@RETRY_AFTER@|$retry_after|g" \
    -e "s|@WORKERS@|$workers|g" -e "s|@USER@|$user|g" -e "s|@JS@|$here/kiv_rules.js|g" \
    -e "s|@MODULES@|$modules|g" "$here/nginx.conf.in" >"$dir/nginx.conf.tmp"
mv "$dir/nginx.conf.tmp" "$dir/nginx.conf"
# -e: the log nginx writes before it has read the configuration goes there too, not to /var/log.
nginx -q -t -e "$dir/logs/error.log" -p "$dir" -c "$dir/nginx.conf"
[ "$check" = 1 ] && exit 0
exec nginx -e "$dir/logs/error.log" -p "$dir" -c "$dir/nginx.conf"
