# Shell helpers shared by the demo and the benchmarks: a certificate
# authority made on the spot, and nginx serving a published site over HTTPS
# on a free 127.0.0.1 port. Source this file; every function stops the
# script on failure (set -e).

# make_ca FOLDER — writes FOLDER/ca.pem (the CA to trust), FOLDER/server.pem
# and FOLDER/server.key (valid for 127.0.0.1 and localhost).
make_ca() {
  local dir=$1
  mkdir -p "$dir"
  (
    cd "$dir"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
      -keyout ca.key -out ca.pem -days 30 -subj "/CN=Vandrel Demo CA" \
      -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
      2>/dev/null
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
      -keyout server.key -out server.csr -subj "/CN=localhost" 2>/dev/null
    printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' > server.ext
    openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
      -out server.pem -days 30 -extfile server.ext 2>/dev/null
  )
}

# free_port — prints a TCP port on 127.0.0.1 that nobody listens on now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

# start_nginx STATE_FOLDER SITE_ROOT CA_FOLDER PORT [http2] [PLAIN_PORT] —
# serves SITE_ROOT over HTTPS with keep-alive (and HTTP/2 when asked), and
# over plain HTTP on PLAIN_PORT when given (for peers that speak no TLS);
# "*.php" is served as text. Sets NGINX_PID.
start_nginx() {
  local state=$1 root=$2 ca=$3 port=$4 user_line="" listen_extra="" plain_line=""
  if [[ ${5:-} == http2 ]]; then listen_extra=" http2"; fi
  if [[ -n ${6:-} ]]; then plain_line="listen 127.0.0.1:$6;"; fi
  mkdir -p "$state/tmp"
  if [[ $(id -u) -eq 0 ]]; then user_line="user root root;"; fi
  cat > "$state/nginx.conf" <<CONF
$user_line
daemon off;
master_process on;
worker_processes 1;
pid $state/nginx.pid;
error_log $state/error.log notice;
events { worker_connections 1024; }
http {
  # The usual combined line and the time the request ended, for the
  # benchmarks that look at the gaps between requests.
  log_format timed '\$remote_addr - \$remote_user [\$time_local] "\$request" \$status \$body_bytes_sent '
                   '"\$http_referer" "\$http_user_agent" \$msec';
  access_log $state/access.log timed;
  client_body_temp_path $state/tmp/body;
  proxy_temp_path $state/tmp/proxy;
  fastcgi_temp_path $state/tmp/fastcgi;
  uwsgi_temp_path $state/tmp/uwsgi;
  scgi_temp_path $state/tmp/scgi;
  types { text/plain php txt; application/json json; application/zip zip; }
  default_type application/octet-stream;
  sendfile on;
  keepalive_timeout 65;
  keepalive_requests 100000;
  server {
    listen 127.0.0.1:$port ssl$listen_extra;
    $plain_line
    ssl_certificate $ca/server.pem;
    ssl_certificate_key $ca/server.key;
    ssl_protocols TLSv1.2 TLSv1.3;
    root $root;
  }
}
CONF
  setsid nginx -p "$state" -c "$state/nginx.conf" -e "$state/error.log" &
  NGINX_PID=$!
  local i
  for i in $(seq 1 100); do
    if curl -s -o /dev/null --cacert "$ca/ca.pem" "https://127.0.0.1:$port/"; then return 0; fi
    if ! kill -0 "$NGINX_PID" 2>/dev/null; then break; fi
    sleep 0.1
  done
  echo "nginx did not start; its log:" >&2
  cat "$state/error.log" >&2 || true
  stop_group "$NGINX_PID"
  NGINX_PID=""
  return 1
}

# stop_group PID — ends a process started with setsid and all of its children.
stop_group() {
  local pid=$1
  [[ -n "$pid" ]] || return 0
  kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true
  local i
  for i in $(seq 1 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null || true
}
