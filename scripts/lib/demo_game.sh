# Shell helpers that make the demo game: a client folder per server with the
# interface art, four client builds as archives, a fallback archive of
# graphics libraries and a few hundred ordinary files. Source this file.

BUILDS=(vdclient_dx_x64 vdclient_gl_x64 vdclient_dx_x86 vdclient_gl_x86)

# write_demo_client FILE BUILD SERVER_LABEL — a small program standing in for
# the game: it records where it was started and says so on the screen.
write_demo_client() {
  local file=$1 build=$2 label=$3
  cat > "$file" <<CLIENT
#!/bin/sh
# Vandrel demo client ($build, server $label): proves that it was started.
{
  echo "build: $build"
  echo "server: $label"
  echo "workdir: \$(pwd)"
  echo "started: \$(date -u +%Y-%m-%dT%H:%M:%SZ)"
} > demo_client_started.txt
echo "Vandrel demo client $build started in \$(pwd)"
if [ -n "\$DISPLAY" ] && command -v xmessage >/dev/null 2>&1; then
  exec xmessage -center -timeout 20 "Vandrel ($label): the game started ($build)"
fi
CLIENT
  chmod 755 "$file"
}

# build_graphics_libraries FOLDER — two small shared libraries that export
# what the launcher checks for: libEGL.dll (eglGetDisplay) and libGLESv2.dll
# (glGetString).
build_graphics_libraries() {
  local dir=$1
  mkdir -p "$dir"
  printf 'void *eglGetDisplay(void *display) { return display; }\n' > "$dir/egl.c"
  printf 'const unsigned char *glGetString(unsigned int name) { (void)name; return (const unsigned char *)"demo"; }\n' > "$dir/gles.c"
  cc -shared -fPIC -o "$dir/libEGL.dll" "$dir/egl.c"
  cc -shared -fPIC -o "$dir/libGLESv2.dll" "$dir/gles.c"
  rm -f "$dir/egl.c" "$dir/gles.c"
}

# make_demo_client CLIENT_DIR LABEL KVART FILE_COUNT — the whole client folder
# of one server.
make_demo_client() {
  local dir=$1 label=$2 kvart=$3 count=${4:-300}
  local work
  rm -rf "$dir"
  mkdir -p "$dir"
  "$kvart" "$dir" --label "$label" >/dev/null

  work=$(mktemp -d)
  for build in "${BUILDS[@]}"; do
    write_demo_client "$work/$build.exe" "$build" "$label"
    (cd "$work" && zip -q -X "$dir/$build.zip" "$build.exe")
    rm -f "$work/$build.exe"
  done

  build_graphics_libraries "$work/libs"
  cp "$work/libs/libEGL.dll" "$work/libs/libGLESv2.dll" "$dir/"
  (cd "$work/libs" && zip -q -X "$dir/oldlibs.zip" libEGL.dll libGLESv2.dll)
  rm -rf "$work"

  # Ordinary game files, some in folders, 1-64 KiB each.
  local i folder size
  for ((i = 1; i <= count; i++)); do
    case $((i % 4)) in
      0) folder="maps/region$((i % 7))" ;;
      1) folder="textures" ;;
      2) folder="sounds/effects" ;;
      *) folder="" ;;
    esac
    mkdir -p "$dir/$folder"
    size=$(((i * 7919) % 64 + 1))
    head -c $((size * 1024)) /dev/urandom > "$dir/${folder:+$folder/}file$i.dat"
  done
}
