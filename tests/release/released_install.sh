#!/usr/bin/env bash
# The released folder, copied to a fresh place, runs where neither the build tree nor the
# system's Qt can be seen: under Xvfb, against HTTPS on loopback, it installs and opens the app.
#   released_install.sh BUILD SOURCE FIXTURE_APP
source "$(dirname "$0")/common.sh"
pids=()
stop_all() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$scratch"
}
trap stop_all EXIT

app=$(make_app "$scratch/app")
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
url="https://127.0.0.1:$port/releases/quorvane-pro-3.1.0.pkg"
release_args "$app" "$url" $((1 << 20)) "$scratch/release"
"$source_dir/scripts/release" "${args[@]}"
folder_name="Install $display_name"
check "tarball checksum" bash -c "cd '$scratch/release' && sha256sum -c --quiet '$folder_name.tar.gz.sha256'"

# Unpacked from the tarball somewhere else, as a user would.
mkdir -p "$scratch/user/Downloads" "$scratch/user/home" "$scratch/user/tmp"
tar -C "$scratch/user/Downloads" -xzf "$scratch/release/$folder_name.tar.gz"
installer="$scratch/user/Downloads/$folder_name/quorvane-installer"

python3 - "$build/authority/tls.pem" "$build/authority/tls.key" "$port" \
    "$scratch/release/quorvane-pro-3.1.0.pkg" >"$scratch/server.log" 2>&1 <<'PY' &
import http.server, ssl, sys
cert, key, port, body = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path != "/releases/quorvane-pro-3.1.0.pkg":
            self.send_error(404)
            return
        data = open(body, "rb").read()
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)
server = http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
print("ready", flush=True)
server.serve_forever()
PY
pids+=($!)
exec {display_fd}>"$scratch/display"
Xvfb -displayfd "$display_fd" -screen 0 1280x800x24 -nolisten tcp >"$scratch/xvfb.log" 2>&1 &
pids+=($!)
exec {display_fd}>&-
for _ in $(seq 200); do
    [ -s "$scratch/display" ] && grep -q ready "$scratch/server.log" && break
    sleep 0.05
done
check "Xvfb named a display" [ -s "$scratch/display" ]
check "server ready" grep -q ready "$scratch/server.log"
display=":$(tr -d '[:space:]' <"$scratch/display")"

home=$(getent passwd "$(id -u)" | cut -d: -f6)
qt_plugins=$(qtpaths6 --plugin-dir 2>/dev/null || echo /usr/lib/x86_64-linux-gnu/qt6/plugins)
executable="$home/Applications/$bundle_name/Contents/MacOS/$display_name"
: >"$scratch/empty"
mkdir -p "$scratch/authority" "$scratch/user/runtime"
chmod 700 "$scratch/user/runtime"
cp "$build/authority/root.pem" "$scratch/authority/"
mkdir -p "$scratch/empty-dir"
# Inside private mount and process namespaces: the build tree, the system's Qt and the real
# home are hidden; every process started there ends with it.
status=0
unshare --mount --pid --fork --mount-proc --propagation private bash -s -- \
    "$build" "$scratch" "$qt_plugins" "$home" "$installer" "$display" "$executable" \
    >"$scratch/run.log" 2>&1 <<'INSIDE' || status=$?
set -euo pipefail
build=$1 scratch=$2 qt_plugins=$3 home=$4 installer=$5 display=$6 executable=$7
mount -t tmpfs none "$build"
# Only the throwaway download authority the test build's installer names stays in sight.
mkdir -p "$build/authority"
mount --bind "$scratch/authority" "$build/authority"
for lib in /usr/lib/x86_64-linux-gnu/libQt6*; do
    [ -f "$lib" ] && [ ! -L "$lib" ] && mount --bind "$scratch/empty" "$lib"
done
mount --bind "$scratch/empty-dir" "$qt_plugins"
mount --bind "$scratch/user/home" "$home"
env -i PATH=/usr/bin:/bin HOME="$home" DISPLAY="$display" TMPDIR="$scratch/user/tmp" \
    XDG_RUNTIME_DIR="$scratch/user/runtime" \
    QT_QPA_PLATFORM=xcb timeout 120 "$installer" || rc=$?
echo "installer exit ${rc:-0}"
for _ in $(seq 100); do
    for exe in /proc/[0-9]*/exe; do
        if [ "$(readlink "$exe" 2>/dev/null)" = "$executable" ]; then
            echo "app running"
            exit 0
        fi
    done
    sleep 0.1
done
echo "app not running"
exit 1
INSIDE
cat "$scratch/run.log"
check "released installer ran without error" [ "$status" -eq 0 ]
check "installer exited cleanly" grep -qx "installer exit 0" "$scratch/run.log"
check "installed app opened" grep -qx "app running" "$scratch/run.log"
check "the app is installed" [ -x "$scratch/user/home/Applications/$bundle_name/Contents/MacOS/$display_name" ]
check "the tail was downloaded" grep -q '"GET /releases/quorvane-pro-3.1.0.pkg' "$scratch/server.log"
check "no staging left" [ -z "$(find "$scratch/user/tmp" -maxdepth 1 -name "quorvane-installer-*")" ]
echo "released folder installed and opened the app"
