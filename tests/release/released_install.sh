#!/usr/bin/env bash
# The released folder, unpacked elsewhere, runs where nothing of the build tree and none of the
# system's Qt can be seen, against nginx serving the upload file over HTTPS on loopback (in a
# network namespace of its own): under Xvfb it installs and opens the app; under weston it opens
# the installed copy again.
#   released_install.sh BUILD SOURCE FIXTURE_APP RELEASED
# shellcheck source=common.sh
source "$(dirname "$0")/common.sh"
release=$4/out
unpack_release "$release" "$scratch/user/Downloads"
installer="$scratch/user/Downloads/$folder_name/quorvane-installer"
nginx_conf "$scratch/nginx" "$scratch/www"
cp "$release/quorvane-pro-3.1.0.pkg" "$scratch/www/releases/"

mkdir -p "$scratch/user/home" "$scratch/user/tmp" "$scratch/user/runtime" "$scratch/empty-dir"
chmod 700 "$scratch/user/runtime"
home=$(getent passwd "$(id -u)" | cut -d: -f6)
qt_plugins=$(qtpaths6 --plugin-dir 2>/dev/null || echo /usr/lib/x86_64-linux-gnu/qt6/plugins)
executable="$home/Applications/$bundle_name/Contents/MacOS/$display_name"
: >"$scratch/empty"
# Inside private network, mount and process namespaces: the build and source trees, the
# system's Qt and the real home are hidden; every process started there ends with it.
status=0
unshare --net --mount --pid --fork --mount-proc --propagation private bash -s -- \
    "$build" "$source_dir" "$scratch" "$qt_plugins" "$home" "$installer" "$executable" \
    >"$scratch/run.log" 2>&1 <<'INSIDE' || status=$?
set -euo pipefail
build=$1 source_dir=$2 scratch=$3 qt_plugins=$4 home=$5 installer=$6 executable=$7
folder=$(dirname "$installer")
ip link set lo up
nginx -e "$scratch/nginx/error.log" -p "$scratch/nginx" -c "$scratch/nginx/nginx.conf" &
exec {display_fd}>"$scratch/display"
Xvfb -displayfd "$display_fd" -screen 0 1280x800x24 -nolisten tcp >"$scratch/xvfb.log" 2>&1 &
exec {display_fd}>&-
for _ in $(seq 200); do
    [ -s "$scratch/display" ] && [ -s "$scratch/nginx/nginx.pid" ] && break
    sleep 0.05
done
if [ ! -s "$scratch/display" ] || [ ! -s "$scratch/nginx/nginx.pid" ]; then
    echo "Xvfb or nginx did not come up" && exit 1
fi
display=":$(tr -d '[:space:]' <"$scratch/display")"
# A sanitizer build's installer keeps its memory checks; leaks at exit are the libraries'
# one-time allocations, checked elsewhere in-process.
asan_options=${ASAN_OPTIONS:+$ASAN_OPTIONS:detect_leaks=0}
mount -t tmpfs none "$build"
mount -t tmpfs none "$source_dir"
for lib in /usr/lib/x86_64-linux-gnu/libQt6*; do
    [ -f "$lib" ] && [ ! -L "$lib" ] && mount --bind "$scratch/empty" "$lib"
done
mount --bind "$scratch/empty-dir" "$qt_plugins"
mount --bind "$scratch/user/home" "$home"

# Every program and plugin in the folder finds what it links against, Qt only in the folder.
while IFS= read -r elf; do
    if ldd "$elf" | grep -E 'not found|=> /usr/lib/.*libQt6'; then
        echo "unresolved in $elf"
        exit 1
    fi
done < <(find "$folder" -type f \( -name '*.so*' -o -perm -u+x \) -exec sh -c \
    'head -c 4 "$1" | grep -q ELF' sh {} \; -print)
echo "libraries resolved"

app_pid() {
    local exe
    for exe in /proc/[0-9]*/exe; do
        if [ "$(readlink "$exe" 2>/dev/null)" = "$executable" ]; then
            exe=${exe#/proc/}
            echo "${exe%/exe}"
            return 0
        fi
    done
    return 1
}
wait_for_app() {
    for _ in $(seq 100); do
        app_pid >/dev/null && return 0
        sleep 0.1
    done
    return 1
}
run_installer() { # platform, then environment assignments
    local platform=$1 rc=0
    shift
    env -i PATH=/usr/bin:/bin HOME="$home" TMPDIR="$scratch/user/tmp" \
        XDG_RUNTIME_DIR="$scratch/user/runtime" QT_QPA_PLATFORM="$platform" \
        ${asan_options:+ASAN_OPTIONS="$asan_options"} "$@" \
        timeout 120 "$installer" || rc=$?
    echo "installer exit $rc on $platform"
}

# X11: downloads, installs, opens.
run_installer xcb DISPLAY="$display"
wait_for_app && echo "app running on xcb" || echo "app not running on xcb"

# Wayland: the bundled plugin connects to a real compositor; the installed copy is reused.
pid=$(app_pid) && kill "$pid" && while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
weston_runtime=$scratch/user/weston
mkdir -p "$weston_runtime" && chmod 700 "$weston_runtime"
XDG_RUNTIME_DIR=$weston_runtime WAYLAND_DISPLAY='' DISPLAY='' weston --backend=headless-backend.so \
    --use-pixman --socket=release-test --width=1024 --height=768 --idle-time=0 \
    >"$scratch/weston.log" 2>&1 &
for _ in $(seq 200); do
    [ -S "$weston_runtime/release-test" ] && break
    sleep 0.05
done
[ -S "$weston_runtime/release-test" ] || { echo "weston did not come up" && cat "$scratch/weston.log"; }
run_installer wayland XDG_RUNTIME_DIR="$weston_runtime" WAYLAND_DISPLAY=release-test
wait_for_app && echo "app running on wayland" || echo "app not running on wayland"
INSIDE
cat "$scratch/run.log"
check "released installer ran without error" [ "$status" -eq 0 ]
check "bundled libraries resolve inside the folder" grep -qx "libraries resolved" "$scratch/run.log"
for platform in xcb wayland; do
    check "installer exited cleanly on $platform" grep -qx "installer exit 0 on $platform" "$scratch/run.log"
    check "installed app opened on $platform" grep -qx "app running on $platform" "$scratch/run.log"
done
check "the app is installed" [ -x "$scratch/user/home/Applications/$bundle_name/Contents/MacOS/$display_name" ]
check "the tail was downloaded once" [ "$(grep -c '"GET /releases/quorvane-pro-3.1.0.pkg HTTP/[0-9.]*" 200' "$scratch/nginx/access.log")" -eq 1 ]
check "no staging left" [ -z "$(find "$scratch/user/tmp" -maxdepth 1 -name "quorvane-installer-*")" ]
echo "released folder installed and opened the app"
