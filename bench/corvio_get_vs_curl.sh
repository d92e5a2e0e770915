#!/bin/sh
# corvio-get against the curl program, whole processes, in turns, from nginx
# on loopback (TLS 1.3 with a certificate made here):
#   - 100 MiB over HTTP and HTTPS, -o /dev/null and -o FILE: median seconds of
#     RUNS paired runs each (the first of a pair alternating), the speed ratio
#     (curl's time / corvio-get's) of the medians and the median of the
#     pairs' own ratios;
#   - peak resident memory of corvio-get (/usr/bin/time -v) for the 100 MiB
#     body and for a 4.5 GiB body (a sparse file: no disk space is used);
#   - the 4.5 GiB body with Content-Length (nginx) and chunked (a small
#     Python server sending 1 MiB chunks) through corvio-get into `wc -c`:
#     every byte counted, exit status 0.
# Usage: bench/corvio_get_vs_curl.sh [BIN_DIR]   (default build/bin; RUNS=5)
set -eu
BIN=${1:-build/bin}
RUNS=${RUNS:-5}
GET="$BIN/corvio-get"
[ -x "$GET" ] || { echo "no $GET" >&2; exit 1; }
dir=$(mktemp -d /tmp/corvio-bench.XXXXXX)
cleanup() {
    [ -f "$dir/nginx.pid" ] && kill "$(cat "$dir/nginx.pid")" 2>/dev/null || true
    [ -n "${py_pid:-}" ] && kill "$py_pid" 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT INT TERM
port=$((20000 + $$ % 20000))
tls_port=$((port + 1))
chunk_port=$((port + 2))
mkdir "$dir/www" "$dir/tmp"
truncate -s 100M "$dir/www/100m"
truncate -s 4608M "$dir/www/big"
chmod 755 "$dir" "$dir/www"; chmod 644 "$dir/www/100m" "$dir/www/big"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 -keyout "$dir/key.pem" -out "$dir/cert.pem" 2>/dev/null
cat >"$dir/nginx.conf" <<CONF
daemon on; worker_processes 1; pid $dir/nginx.pid; error_log $dir/error.log;
events { worker_connections 64; }
http {
  access_log off; sendfile on; client_body_temp_path $dir/tmp; proxy_temp_path $dir/tmp;
  fastcgi_temp_path $dir/tmp; uwsgi_temp_path $dir/tmp; scgi_temp_path $dir/tmp;
  server {
    listen 127.0.0.1:$port; listen 127.0.0.1:$tls_port ssl;
    ssl_certificate $dir/cert.pem; ssl_certificate_key $dir/key.pem; ssl_protocols TLSv1.3;
    root $dir/www;
  }
}
CONF
nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log"
python3 - "$chunk_port" <<'PY' &
import socket, sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(4); s.settimeout(600)
piece = b"100000\r\n" + b"x" * 0x100000 + b"\r\n"
c, _ = s.accept(); c.recv(65536)
c.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n")
for _ in range(4608):
    c.sendall(piece)
c.sendall(b"0\r\n\r\n"); c.close()
PY
py_pid=$!
sleep 1

secs() {  # prints the wall seconds of one command, its output discarded
    python3 - "$@" <<'PY'
import subprocess, sys, time
t = time.monotonic(); r = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL)
print("%.4f" % (time.monotonic() - t) if r.returncode == 0 else "fail")
PY
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

for scheme in http https; do
    p=$port; [ $scheme = https ] && p=$tls_port
    url="$scheme://127.0.0.1:$p/100m"
    for out in /dev/null "$dir/out.bin"; do
        : >"$dir/ours"; : >"$dir/theirs"; : >"$dir/pairs"
        ours() { secs "$GET" -q --fail --cacert "$dir/cert.pem" -o "$out" "$url"; }
        theirs() { secs curl -sf --cacert "$dir/cert.pem" -o "$out" "$url"; }
        for i in $(seq "$RUNS"); do
            if [ $((i % 2)) = 1 ]; then
                x=$(ours); y=$(theirs)
            else
                y=$(theirs); x=$(ours)
            fi
            echo "$x" >>"$dir/ours"; echo "$y" >>"$dir/theirs"
            awk "BEGIN {print $y / $x}" >>"$dir/pairs"
        done
        a=$(median <"$dir/ours"); b=$(median <"$dir/theirs")
        printf '100 MiB %-5s -o %-14s corvio-get %ss  curl %ss  speed ratio %s  paired %.2f\n' \
            "$scheme" "$(basename "$out")" "$a" "$b" "$(awk "BEGIN {printf \"%.2f\", $b / $a}")" \
            "$(median <"$dir/pairs")"
    done
done
rm -f "$dir/out.bin"

rss() {  # peak RSS in MiB of one corvio-get run
    /usr/bin/time -v "$GET" -q --fail --cacert "$dir/cert.pem" -o /dev/null "$1" 2>&1 >/dev/null |
        awk '/Maximum resident/ {printf "%.1f", $6 / 1024}'
}
echo "peak RSS of corvio-get: 100 MiB HTTP $(rss "http://127.0.0.1:$port/100m") MiB," \
    "HTTPS $(rss "https://127.0.0.1:$tls_port/100m") MiB," \
    "4.5 GiB HTTP $(rss "http://127.0.0.1:$port/big") MiB (target <= 24)"
n=$({ "$GET" -q --fail "http://127.0.0.1:$port/big"; echo $? >"$dir/st"; } | wc -c)
echo "4.5 GiB with Content-Length into wc -c: $n bytes (expected $((4608 * 1048576))), exit $(cat "$dir/st")"
n=$({ "$GET" -q --timeout 60000 "http://127.0.0.1:$chunk_port/chunked"; echo $? >"$dir/st"; } | wc -c)
echo "4.5 GiB chunked into wc -c: $n bytes (expected $((4608 * 1048576))), exit $(cat "$dir/st")"
wait "$py_pid" 2>/dev/null || true
py_pid=
