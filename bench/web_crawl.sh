#!/usr/bin/env bash
# Serves a generated site with nginx on 127.0.0.1 and, in the same run, times the first run
# of an entire-site web monitor over it (every page new), its second run (nothing changed)
# and `wget --spider -r -l inf` over the same site. Prints pages per second for each and the
# ratios (monitor / wget).
#   web_crawl.sh [PAGES] [DELAY_MS] [http|https]
#   web_crawl.sh all [PAGES_LOOPBACK] [PAGES_SLOW]
# With DELAY_MS, the site is reached through bench/delay_proxy.py, which holds each
# connection's set-up and each direction's data that long, as a site that far away would
# (it relays bytes, so TLS goes through it as well). With https, the script makes a
# throw-away authority and a server certificate for 127.0.0.1; the monitor learns the
# authority through the root's TlsCaFile, wget through --ca-certificate.
# "all" runs loopback HTTP, 20 ms HTTP, loopback HTTPS and 20 ms HTTPS one after the other
# (PAGES_LOOPBACK pages, default 2000, on loopback; PAGES_SLOW, default 300, at 20 ms) and
# prints them as one table. QUORVANE_BENCH_SET="WebParallelRequests=1 HttpKeepAlive=0" sets
# root DWORDs for the monitor, to measure what each step buys.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QUORVANE_BUILD_DIR:-$top/build}
work=$(mktemp -d)
nginx_pid=""
proxy_pid=""
stop_servers() {
  if [ -n "$proxy_pid" ]; then kill "$proxy_pid" 2>/dev/null || true; wait "$proxy_pid" 2>/dev/null || true; fi
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
  proxy_pid=""
  nginx_pid=""
}
trap 'stop_servers; rm -rf "$work"' EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
now() { date +%s.%N; }

# A throw-away authority and a certificate of 127.0.0.1 it issued, in $1.
make_certificates() {
  local dir=$1
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$dir/ca.key" -out "$dir/ca.pem" -days 2 -subj "/CN=Quorvane Bench Authority" \
    2>/dev/null
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
    -keyout "$dir/server.key" -out "$dir/server.csr" -subj "/CN=127.0.0.1" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n' > "$dir/server.ext"
  openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
    -CAcreateserial -out "$dir/server.pem" -days 2 -extfile "$dir/server.ext" 2>/dev/null
}

# One measurement: run_mode PAGES DELAY_MS SCHEME OUT. Writes to OUT one line of
#   scheme delay pages found wget_pages first_s second_s wget_s
run_mode() {
  local pages=$1 delay=$2 scheme=$3 out=$4
  local dir
  dir=$(mktemp -d "$work/mode.XXXXXX")
  local port public
  port=$(free_port)
  # The port the site is known by: nginx's own, or the delay proxy's in front of it.
  public=$port
  if [ "$delay" != 0 ]; then public=$(free_port); fi
  local site="$scheme://127.0.0.1:$public"
  mkdir -p "$dir/site/pages" "$dir/logs"
  # A binary tree of pages: page i links to pages 2i and 2i+1, relative and absolute.
  python3 - "$dir/site" "$pages" "$site" <<'PY'
import sys, os
root, n, site = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with open(os.path.join(root, "index.html"), "w") as f:
    f.write('<html><body><a href="pages/p1.html">start</a></body></html>\n')
for i in range(1, n + 1):
    links = []
    for j, child in enumerate((2 * i, 2 * i + 1)):
        if child <= n:
            links.append(f'<a href="p{child}.html">p{child}</a>' if j == 0 else
                         f'<a href="{site}/pages/p{child}.html">p{child}</a>')
    with open(os.path.join(root, "pages", f"p{i}.html"), "w") as f:
        f.write(f"<html><head><title>Page {i}</title></head><body>\n" + "\n".join(links) +
                f'\n<a href="http://elsewhere.example/">away</a>\n<p>{"text " * 50}</p></body></html>\n')
PY
  local listen="listen 127.0.0.1:$port;"
  if [ "$scheme" = https ]; then
    make_certificates "$dir"
    listen="listen 127.0.0.1:$port ssl; ssl_certificate $dir/server.pem; ssl_certificate_key $dir/server.key;"
  fi
  cat > "$dir/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/logs/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $dir/body; proxy_temp_path $dir/proxy;
  fastcgi_temp_path $dir/fastcgi; uwsgi_temp_path $dir/uwsgi; scgi_temp_path $dir/scgi;
  types { text/html html; }
  server { $listen root $dir/site; }
}
CONF
  /usr/sbin/nginx -e "$dir/logs/error.log" -c "$dir/nginx.conf" -p "$dir" &
  nginx_pid=$!
  for _ in $(seq 50); do
    (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break
    sleep 0.1
  done
  if [ "$delay" != 0 ]; then
    /usr/bin/python3 "$top/bench/delay_proxy.py" "$public" "$port" "$delay" > "$dir/proxy.txt" &
    proxy_pid=$!
    for _ in $(seq 50); do [ -s "$dir/proxy.txt" ] && break; sleep 0.1; done
  fi

  local root='HKLM\SOFTWARE\Halvorn\Quorvane\CurrentVersion'
  reg() { "$build/src/quorvane-reg" --registry "$dir/r.db" "$@"; }
  reg set "$root" DialUpProgram REG_SZ /nonexistent/nmcli
  local wget_tls=()
  if [ "$scheme" = https ]; then
    reg set "$root" TlsCaFile REG_SZ "$dir/ca.pem"
    wget_tls=(--ca-certificate="$dir/ca.pem")
  fi
  # Further root DWORDs to measure with, as NAME=VALUE words (WebParallelRequests=1 ...).
  for setting in ${QUORVANE_BENCH_SET:-}; do
    reg set "$root" "${setting%%=*}" REG_DWORD "${setting#*=}"
  done
  reg set "$root\\Bench" Type REG_DWORD 1
  reg set "$root\\Site" Type REG_DWORD 4
  reg set "$root\\Site" ScheduledEvent REG_SZ Bench
  reg set "$root\\Site" Site REG_SZ "$site/"
  reg set "$root\\Site" EntireDomain REG_DWORD 1
  reg set "$root\\Site" NotifyViaWindows REG_DWORD 1
  reg set "$root\\Site\\WatchedUrls" "$site/" REG_BINARY 000000000000000000000000

  local t0 t1 t2 t3 t4 t5 found wget_pages
  t0=$(now)
  "$build/src/quorvane" --data-dir "$dir/data" --registry "$dir/r.db" --run Bench > "$dir/run.txt"
  t1=$(now)
  found=$(grep -c 'A new document at ' "$dir/run.txt" || true)
  # The second run: nothing changed, every document is asked again.
  t4=$(now)
  "$build/src/quorvane" --data-dir "$dir/data" --registry "$dir/r.db" --run Bench > "$dir/run2.txt"
  t5=$(now)
  if grep -q 'secure connection' "$dir/run.txt" "$dir/run2.txt"; then
    echo "web_crawl.sh: the monitor's secure connections failed:" >&2
    grep -m 3 'secure connection' "$dir/run.txt" "$dir/run2.txt" >&2
  fi

  t2=$(now)
  (cd "$dir" && wget --spider -r -l inf --no-verbose -e robots=off ${wget_tls[@]+"${wget_tls[@]}"} \
     "$site/" > "$dir/wget.txt" 2>&1 || true)
  t3=$(now)
  wget_pages=$(grep -c ' URL:' "$dir/wget.txt" || true)
  stop_servers
  python3 -c 'import sys; a = sys.argv[1:]; t = list(map(float, a[5:]))
print(*a[:5], t[1] - t[0], t[3] - t[2], t[5] - t[4])' \
    "$scheme" "$delay" "$pages" "$found" "$wget_pages" "$t0" "$t1" "$t4" "$t5" "$t2" "$t3" >> "$out"
  rm -rf "$dir"
}

if [ "${1:-}" = all ]; then
  loopback_pages=${2:-2000}
  slow_pages=${3:-300}
  for mode in "http 0 $loopback_pages" "http 20 $slow_pages" "https 0 $loopback_pages" \
              "https 20 $slow_pages"; do
    set -- $mode
    echo "measuring $1, delay $2 ms, $3 pages ..." >&2
    run_mode "$3" "$2" "$1" "$work/results.txt"
  done
else
  pages=${1:-2000}
  delay=${2:-0}
  scheme=${3:-http}
  case "$scheme" in
    http|https) ;;
    *) echo "usage: web_crawl.sh [PAGES] [DELAY_MS] [http|https] | all [PAGES_LOOPBACK] [PAGES_SLOW]" >&2
       exit 2 ;;
  esac
  run_mode "$pages" "$delay" "$scheme" "$work/results.txt"
fi

python3 - "$work/results.txt" <<'PY'
import sys
rows = [line.split() for line in open(sys.argv[1]) if line.strip()]
print("pages/s; documents counted by the monitor (first run) and by wget")
print(f"{'mode':<16}{'pages':>6}{'monitor 1st':>13}{'monitor 2nd':>13}{'wget':>8}"
      f"{'1st/wget':>10}{'2nd/wget':>10}{'docs (mon/wget)':>17}")
for scheme, delay, pages, found, wpages, s1, s2, sw in rows:
    found, wpages = int(found), int(wpages)
    s1, s2, sw = float(s1), float(s2), float(sw)
    q, q2 = found / s1, found / s2
    w = wpages / sw if sw > 0 else 0.0
    mode = f"{scheme} {'loopback' if delay == '0' else delay + ' ms'}"
    note = "" if found == wpages else "  (counts differ)"
    print(f"{mode:<16}{pages:>6}{q:>13.0f}{q2:>13.0f}{w:>8.0f}"
          f"{(q / w if w else 0):>10.2f}{(q2 / w if w else 0):>10.2f}"
          f"{f'{found}/{wpages}':>17}{note}")
print("seconds (monitor 1st, monitor 2nd, wget): " +
      "; ".join(f"{r[0]} {r[1]} ms: {float(r[5]):.2f}, {float(r[6]):.2f}, {float(r[7]):.2f}"
                for r in rows))
PY
