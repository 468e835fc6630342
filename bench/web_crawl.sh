#!/usr/bin/env bash
# Serves a generated site of 2,000 pages with nginx on 127.0.0.1 and, in the same run,
# times the first run of an entire-site web monitor over it (every page new), its second
# run (nothing changed) and `wget --spider -r -l inf` over the same site. Prints pages per
# second for each and the ratios (monitor / wget).
#   web_crawl.sh [PAGES] [DELAY_MS]
# With DELAY_MS, the site is reached through bench/delay_proxy.py, which holds each
# connection's set-up and each direction's data that long, as a site that far away would.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QUORVANE_BUILD_DIR:-$top/build}
pages=${1:-2000}
delay=${2:-0}
work=$(mktemp -d)
nginx_pid=""
proxy_pid=""
trap '[ -n "$nginx_pid" ] && kill $nginx_pid 2>/dev/null; [ -n "$proxy_pid" ] && kill $proxy_pid 2>/dev/null; rm -rf "$work"' EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
port=$(free_port)
# The port the site is known by: nginx's own, or the delay proxy's in front of it.
public=$port
if [ "$delay" != 0 ]; then public=$(free_port); fi
mkdir -p "$work/site/pages" "$work/logs"
# A binary tree of pages: page i links to pages 2i and 2i+1, relative and absolute.
python3 - "$work/site" "$pages" "$public" <<'PY'
import sys, os
root, n, port = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with open(os.path.join(root, "index.html"), "w") as f:
    f.write('<html><body><a href="pages/p1.html">start</a></body></html>\n')
for i in range(1, n + 1):
    links = []
    for j, child in enumerate((2 * i, 2 * i + 1)):
        if child <= n:
            links.append(f'<a href="p{child}.html">p{child}</a>' if j == 0 else
                         f'<a href="http://127.0.0.1:{port}/pages/p{child}.html">p{child}</a>')
    with open(os.path.join(root, "pages", f"p{i}.html"), "w") as f:
        f.write(f"<html><head><title>Page {i}</title></head><body>\n" + "\n".join(links) +
                f'\n<a href="http://elsewhere.example/">away</a>\n<p>{"text " * 50}</p></body></html>\n')
PY
cat > "$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/logs/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/body; proxy_temp_path $work/proxy;
  fastcgi_temp_path $work/fastcgi; uwsgi_temp_path $work/uwsgi; scgi_temp_path $work/scgi;
  types { text/html html; }
  server { listen 127.0.0.1:$port; root $work/site; }
}
CONF
/usr/sbin/nginx -e "$work/logs/error.log" -c "$work/nginx.conf" -p "$work" &
nginx_pid=$!
for _ in $(seq 50); do
  (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break
  sleep 0.1
done
if [ "$delay" != 0 ]; then
  /usr/bin/python3 "$top/bench/delay_proxy.py" "$public" "$port" "$delay" > "$work/proxy.txt" &
  proxy_pid=$!
  for _ in $(seq 50); do [ -s "$work/proxy.txt" ] && break; sleep 0.1; done
fi

root='HKLM\SOFTWARE\Halvorn\Quorvane\CurrentVersion'
reg() { "$build/src/quorvane-reg" --registry "$work/r.db" "$@"; }
reg set "$root" DialUpProgram REG_SZ /nonexistent/nmcli
reg set "$root\\Bench" Type REG_DWORD 1
reg set "$root\\Site" Type REG_DWORD 4
reg set "$root\\Site" ScheduledEvent REG_SZ Bench
reg set "$root\\Site" Site REG_SZ "http://127.0.0.1:$public/"
reg set "$root\\Site" EntireDomain REG_DWORD 1
reg set "$root\\Site" NotifyViaWindows REG_DWORD 1
reg set "$root\\Site\\WatchedUrls" "http://127.0.0.1:$public/" REG_BINARY 000000000000000000000000

now() { date +%s.%N; }
t0=$(now)
"$build/src/quorvane" --data-dir "$work/data" --registry "$work/r.db" --run Bench > "$work/run.txt"
t1=$(now)
found=$(grep -c 'A new document at ' "$work/run.txt" || true)
# The second run: nothing changed, every document is asked again.
t4=$(now)
"$build/src/quorvane" --data-dir "$work/data" --registry "$work/r.db" --run Bench > "$work/run2.txt"
t5=$(now)

t2=$(now)
(cd "$work" && wget --spider -r -l inf --no-verbose -e robots=off "http://127.0.0.1:$public/" \
   > "$work/wget.txt" 2>&1 || true)
t3=$(now)
wget_pages=$(grep -c ' URL:' "$work/wget.txt" || true)

python3 - "$t0" "$t1" "$t2" "$t3" "$t4" "$t5" "$found" "$wget_pages" "$pages" "$delay" <<'PY'
import sys
t0, t1, t2, t3, t4, t5 = map(float, sys.argv[1:7])
found, wpages, pages, delay = map(int, sys.argv[7:11])
q = found / (t1 - t0); q2 = found / (t5 - t4); w = wpages / (t3 - t2)
print(f"site: {pages} pages and the index, " +
      (f"{delay} ms away (delay proxy)" if delay else "on loopback"))
print(f"quorvane web monitor, first run:  {found} documents in {t1 - t0:.2f} s = {q:.0f} pages/s")
print(f"quorvane web monitor, second run: {found} documents in {t5 - t4:.2f} s = {q2:.0f} pages/s")
print(f"wget --spider -r -l inf:          {wpages} documents in {t3 - t2:.2f} s = {w:.0f} pages/s")
print(f"ratio first run / wget: {q / w:.2f}; second run / wget: {q2 / w:.2f}")
PY
