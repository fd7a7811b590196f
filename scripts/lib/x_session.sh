# A private X server with openbox for the shell scripts: the session of the
# end-to-end tests (tests/e2e/x11session.py) run as a program. Needs ROOT
# (the clone) and stop_group (scripts/lib/site.sh).

# start_x_session WIDTH HEIGHT — starts the session in a process group of its
# own, exports DISPLAY and sets X_SESSION_PID (end it with stop_group) and
# X_SERVER_PID (the Xvfb process, gone once the session has ended). Waits
# at most 90 seconds; answers non-zero, with what the session printed on
# standard error, when it did not start.
start_x_session() {
  local out
  out=$(mktemp "${TMPDIR:-/tmp}/kv-x-session.XXXXXX")
  setsid python3 "$ROOT/tests/e2e/x11session.py" "$1" "$2" >"$out" 2>&1 &
  X_SESSION_PID=$!
  local line="" i
  for i in $(seq 1 900); do
    line=$(grep -m 1 -E '^:[0-9]+ [0-9]+$' "$out" || true)
    [[ -z "$line" ]] || break
    kill -0 "$X_SESSION_PID" 2>/dev/null || break
    sleep 0.1
  done
  if [[ -z "$line" ]]; then
    cat "$out" >&2
    rm -f "$out"
    stop_group "$X_SESSION_PID"
    return 1
  fi
  rm -f "$out"
  export DISPLAY=${line% *}
  X_SERVER_PID=${line#* }
}
