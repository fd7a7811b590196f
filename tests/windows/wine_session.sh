# Shared by the Wine test scripts: a private 32-bit Wine prefix below WORK,
# and the clean-up of Wine and of every process group listed in PIDS when
# the script ends. Source it after setting ROOT and WORK.
source "$ROOT/scripts/lib/site.sh"

PIDS=()
export WINEPREFIX=$WORK/prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_session_cleanup() {
  local pid
  wineserver -k 2>/dev/null || true
  for pid in "${PIDS[@]}"; do stop_group "$pid"; done
  PIDS=()
}
trap wine_session_cleanup EXIT

# import_test_ca CA_PEM — builds the certificate helper and adds CA_PEM to
# the prefix's trusted roots.
import_test_ca() {
  i686-w64-mingw32-gcc-posix -O1 -o "$WORK/import_ca.exe" "$ROOT/tests/windows/import_ca.c" -lcrypt32
  # Wine sees the machine's root folder as drive Z:.
  wine "$WORK/import_ca.exe" "Z:$1"
}
