#!/usr/bin/env bash
# Runs the Windows test program of the system's web requests under Wine:
# a fresh prefix that trusts a test CA (imported by a small helper program),
# a scripted HTTPS server for "localhost" with a certificate of that CA, one
# with a certificate of a CA nobody trusts, and a plain HTTP one, all on
# 127.0.0.1, serving a site folder with one file.
#
# Usage: web_requests.sh KV_PLATFORM_WEB_TEST_EXE [WORK_DIR]
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
EXE=$(realpath "$1")
WORK=${2:-$(mktemp -d "${TMPDIR:-/tmp}/kv-wine-web.XXXXXX")}
mkdir -p "$WORK"
WORK=$(realpath "$WORK")
source "$HERE/wine_session.sh"

fail() {
  echo "windows web requests: FAIL: $*" >&2
  exit 1
}

make_ca "$WORK/ca"
make_ca "$WORK/untrusted-ca"
mkdir -p "$WORK/site" "$WORK/tls" "$WORK/plain" "$WORK/untrusted"
printf 'site file\n' >"$WORK/site/file.txt"

# start_server STATE_FOLDER CA_FOLDER [--plain] — sets SERVER_PORT once the
# server listens.
start_server() {
  local state=$1 ca=$2
  shift 2
  setsid python3 "$ROOT/tests/fixtures/scripted_https_server.py" --cert "$ca/server.pem" \
    --key "$ca/server.key" --root "$WORK/site" --state "$state" "$@" >"$state/stdout" 2>"$state/stderr" &
  PIDS+=("$!")
  SERVER_PORT=""
  for _ in $(seq 1 100); do
    # The server's shell may not have made its output file yet.
    SERVER_PORT=$(sed -n 's/^PORT //p' "$state/stdout" 2>/dev/null || true)
    [[ -n "$SERVER_PORT" ]] && return 0
    sleep 0.1
  done
  fail "the scripted server did not start (see $state/stderr)"
}
start_server "$WORK/tls" "$WORK/ca"
TLS_PORT=$SERVER_PORT
start_server "$WORK/plain" "$WORK/ca" --plain
PLAIN_PORT=$SERVER_PORT
start_server "$WORK/untrusted" "$WORK/untrusted-ca"
UNTRUSTED_PORT=$SERVER_PORT
CLOSED_PORT=$(free_port)

timeout 300 wineboot --init >/dev/null 2>&1 || fail "wineboot failed"
import_test_ca "$WORK/ca/ca.pem" || fail "the test CA could not be imported"

# Wine sees the machine's root folder as drive Z:.
KV_WEB_TLS_BASE="https://localhost:$TLS_PORT" KV_WEB_TLS_STATE="Z:$WORK/tls" \
  KV_WEB_PLAIN_BASE="http://127.0.0.1:$PLAIN_PORT" KV_WEB_CLOSED_BASE="https://localhost:$CLOSED_PORT" \
  KV_WEB_UNTRUSTED_BASE="https://localhost:$UNTRUSTED_PORT" \
  timeout 300 wine "$EXE"
