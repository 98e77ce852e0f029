#!/usr/bin/env bash
# The released folder where users are: in a clean minimal Debian root of SUITE (debian_root.sh)
# with only a display server added, run by an unprivileged user. Under Xvfb, once without any
# font and once with DejaVu Sans, and once under weston: the window matches the build's own
# offscreen rendering (icon included) while it shows a download failure; then the tail appears
# on the server and the installer installs and opens the app. No GL driver of the system is
# loaded, and the system's C++ runtime is the one used.
#   debian_run.sh BUILD SOURCE RELEASED SUITE RELEASE_WINDOW
# RELEASED/out is the release command's output for the URL of common.sh.
set -euo pipefail
tests=$(dirname "$0")
build=$1 source_dir=$2 released=$3 suite=$4 release_window=$5
[ "$(id -u)" -eq 0 ] || { echo "FAIL: running the root needs root (chroot, mounts)" >&2 && exit 1; }
status=0
root=$("$tests/debian_root.sh" "$suite") || status=$?
[ "$status" -ne 77 ] || exit 77 # the root's own message says why
[ "$status" -eq 0 ] || { echo "FAIL: no $suite root" >&2 && exit 1; }
echo "root: $root ($(cat "$root/.complete"))"

# shellcheck source=common.sh
source "$tests/common.sh" "$build" "$source_dir" /nonexistent
release=$released/out
# The user's download, unpacked outside the root: a minimal system has no xz.
unpack_release "$release" "$scratch/Downloads"
nginx_conf "$scratch/nginx" "$scratch/www"
mkdir -p "$scratch/upper" "$scratch/work" "$scratch/merged" "$scratch/empty" "$scratch/shots"
# The reference's fonts: the root's own, with its rendering settings.
cat >"$scratch/root-fonts.conf" <<CONF
<?xml version="1.0"?>
<fontconfig>
  <dir>$scratch/merged/usr/share/fonts</dir>
  <include ignore_missing="yes">$scratch/merged/etc/fonts/conf.d</include>
  <cachedir>$scratch/fontconfig-cache</cachedir>
</fontconfig>
CONF

unshare --net --mount --pid --fork --mount-proc --propagation private bash -s -- \
    "$root" "$scratch" "$release" "$release_window" "$build/tests/no-fonts.conf" \
    "$folder_name" "$bundle_name" "$display_name" <<'INSIDE'
set -euo pipefail
root=$1 scratch=$2 release=$3 release_window=$4 no_fonts_conf=$5 folder_name=$6 bundle_name=$7
display_name=$8
merged=$scratch/merged
fail() { echo "FAIL: $*" >&2 && exit 1; }
ip link set lo up
nginx -e "$scratch/nginx/error.log" -p "$scratch/nginx" -c "$scratch/nginx/nginx.conf" &
# The cached root stays clean: every change lands in the scratch folder.
mount -t overlay overlay -o "lowerdir=$root,upperdir=$scratch/upper,workdir=$scratch/work" "$merged"
# A release built with --ca system finds the server's authority in the system's store (a
# minimal root has none): QUORVANE_SYSTEM_CA names the PEM file to put there.
if [ -n "${QUORVANE_SYSTEM_CA:-}" ]; then
    mkdir -p "$merged/etc/ssl/certs"
    cp "$QUORVANE_SYSTEM_CA" "$merged/etc/ssl/certs/ca-certificates.crt"
fi
mount -t proc proc "$merged/proc"
mount --rbind /dev "$merged/dev"
mount --make-rslave "$merged/dev"
echo 'user:x:1000:1000:User:/home/user:/bin/sh' >>"$merged/etc/passwd"
echo 'user:x:1000:' >>"$merged/etc/group"
mkdir -p "$merged/tmp/.X11-unix" "$merged/run/user/1000"
chmod 1777 "$merged/tmp" "$merged/tmp/.X11-unix"
chown 1000:1000 "$merged/run/user/1000"
chmod 700 "$merged/run/user/1000"
printf '[core]\nidle-time=0\n[shell]\nbackground-color=0xff000000\npanel-position=none\nanimation=none\nstartup-animation=none\nfocus-animation=none\n' \
    >"$merged/tmp/weston.ini"
installer="/home/user/Downloads/$folder_name/quorvane-installer"
executable="/home/user/Applications/$bundle_name/Contents/MacOS/$display_name"

# Runs a command inside the root as the user (one process, so that $! is its own).
as_user=(chroot --userspec=1000:1000 "$merged" env -i PATH=/usr/bin:/bin HOME=/home/user USER=user
    LANG=C.UTF-8 XDG_RUNTIME_DIR=/run/user/1000)
fresh_home() { # the user's home with only the download in it
    rm -rf "$merged/home/user"
    mkdir -p "$merged/home/user/Downloads"
    cp -a "$scratch/Downloads/$folder_name" "$merged/home/user/Downloads/"
    chown -R 1000:1000 "$merged/home/user"
    rm -f "$scratch/www/releases/"*
}
app_pid() {
    local exe
    for exe in /proc/[0-9]*/exe; do
        case $(readlink "$exe" 2>/dev/null) in
        *"$executable")
            exe=${exe#/proc/}
            echo "${exe%/exe}"
            return 0
            ;;
        esac
    done
    return 1
}
stop() { # pid
    kill "$1" 2>/dev/null || return 0
    for _ in $(seq 100); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.05; done
    kill -9 "$1" 2>/dev/null || true
}
# Waits for the window to show the download failure and compares it with the rendering made
# with FONTS; `shoot FILE` captures the screen. Leaves where Retry lies in $retry.
match_window() { # what, fonts configuration, capture command
    local what=$1 fonts=$2 shot=$scratch/shots/$1.png previous="" out=$scratch/shots/$1.txt
    shift 2
    for _ in $(seq 60); do
        sleep 0.5
        "$@" "$shot" 2>/dev/null || continue
        local sum
        sum=$(sha256sum <"$shot")
        if [ "$sum" = "$previous" ] && FONTCONFIG_FILE=$fonts "$release_window" \
            "$merged/home/user/Downloads/$folder_name/Resources" "$shot" \
            "$scratch/shots/$what-reference.png" >"$out" 2>/dev/null; then
            echo "$what: window matches the rendering ($(head -n 1 "$out"))"
            retry=$(sed -n 's/^retry //p' "$out")
            return 0
        fi
        previous=$sum
    done
    cat "$out" 2>/dev/null || true
    fail "$what: the window never matched the rendering (last capture $shot)"
}
# What the dynamic loader loaded into the installer: no GL driver of the system, and the
# system's own C++ runtime.
check_loaded() { # what, loader trace prefix inside the root
    local traces=("$merged$2".*)
    [ -f "${traces[0]}" ] || fail "$1: no loader trace"
    if grep -h 'calling init:' "${traces[@]}" | grep -E 'mesa|_dri\.so|gallium|libGLX_|libEGL_|nvidia'; then
        fail "$1: a GL driver was loaded"
    fi
    local runtime
    runtime=$(grep -h 'calling init: .*libstdc++' "${traces[@]}" | sed 's/.*calling init: //' | sort -u)
    case $runtime in
    /usr/lib/* | /lib/*) echo "$1: C++ runtime $runtime, no GL driver" ;;
    *) fail "$1: the C++ runtime came from '$runtime'" ;;
    esac
}
installed_and_opened() { # what, installer pid
    local rc=0
    wait "$2" || rc=$?
    if [ "$rc" -ne 0 ]; then
        tail -c 8192 "$scratch/installer-$1.log" >&2 || true
        fail "$1: the installer exited with $rc"
    fi
    for _ in $(seq 100); do app_pid >/dev/null && break; sleep 0.1; done
    local pid
    pid=$(app_pid) || fail "$1: the installed app is not running"
    [ -x "$merged$executable" ] || fail "$1: the app is not installed"
    stop "$pid"
    echo "$1: installed and opened the app"
}
x_screen() { DISPLAY=$display import -window root "$1"; }
weston_screen() {
    rm -f "$merged/tmp/shots/"*.png
    "${as_user[@]}" sh -c 'cd /tmp/shots && WAYLAND_DISPLAY=release weston-screenshooter' >/dev/null 2>&1
    local png=("$merged/tmp/shots/"*.png)
    [ -f "${png[0]}" ] && cp "${png[0]}" "$1"
}

echo "user: $("${as_user[@]}" id)"
for fonts in none dejavu; do
    what="xcb-fonts-$fonts"
    fresh_home
    reference_fonts=$scratch/root-fonts.conf
    if [ "$fonts" = none ]; then
        # As on a system with neither fonts nor a fontconfig configuration.
        mount --bind "$scratch/empty" "$merged/usr/share/fonts"
        mount --bind "$scratch/empty" "$merged/etc/fonts"
        reference_fonts=$no_fonts_conf
    fi
    rm -f "$scratch/display"
    exec {display_fd}>"$scratch/display"
    "${as_user[@]}" Xvfb -displayfd "$display_fd" -screen 0 1280x800x24 -nolisten tcp -br -noreset \
        >"$scratch/xvfb-$what.log" 2>&1 &
    xvfb=$!
    exec {display_fd}>&-
    for _ in $(seq 200); do [ -s "$scratch/display" ] && break; sleep 0.05; done
    [ -s "$scratch/display" ] || { cat "$scratch/xvfb-$what.log" && fail "$what: Xvfb did not come up"; }
    display=":$(tr -d '[:space:]' <"$scratch/display")"
    "${as_user[@]}" DISPLAY="$display" LD_DEBUG=libs LD_DEBUG_OUTPUT="/tmp/ld-$what" \
        timeout 180 "$installer" >"$scratch/installer-$what.log" 2>&1 &
    installer_pid=$!
    match_window "$what" "$reference_fonts" x_screen
    cp "$release/quorvane-pro-3.1.0.pkg" "$scratch/www/releases/"
    read -r retry_x retry_y <<<"$retry"
    DISPLAY=$display xdotool mousemove "$retry_x" "$retry_y" click 1
    installed_and_opened "$what" "$installer_pid"
    check_loaded "$what" "/tmp/ld-$what"
    stop "$xvfb"
    if [ "$fonts" = none ]; then
        umount "$merged/usr/share/fonts" "$merged/etc/fonts"
    fi
done

# Wayland: headless weston with the same options on both systems; no input device, so the
# window is compared while the download fails, and a second run finds the tail.
what=wayland
fresh_home
mkdir -p "$merged/tmp/shots" && chown 1000:1000 "$merged/tmp/shots"
"${as_user[@]}" weston --backend=headless-backend.so --use-pixman --debug --socket=release --width=1024 \
    --height=768 --idle-time=0 --config=/tmp/weston.ini >"$scratch/weston.log" 2>&1 &
weston=$!
for _ in $(seq 200); do [ -S "$merged/run/user/1000/release" ] && break; sleep 0.05; done
[ -S "$merged/run/user/1000/release" ] || { cat "$scratch/weston.log" && fail "weston did not come up"; }
"${as_user[@]}" WAYLAND_DISPLAY=release QT_QPA_PLATFORM=wayland LD_DEBUG=libs \
    LD_DEBUG_OUTPUT=/tmp/ld-wayland-failure timeout 180 "$installer" \
    >"$scratch/installer-wayland-failure.log" 2>&1 &
installer_pid=$!
match_window wayland "$scratch/root-fonts.conf" weston_screen
stop "$installer_pid"
check_loaded "wayland (failure)" /tmp/ld-wayland-failure
cp "$release/quorvane-pro-3.1.0.pkg" "$scratch/www/releases/"
"${as_user[@]}" WAYLAND_DISPLAY=release QT_QPA_PLATFORM=wayland LD_DEBUG=libs \
    LD_DEBUG_OUTPUT=/tmp/ld-wayland timeout 180 "$installer" >"$scratch/installer-wayland.log" 2>&1 &
installed_and_opened wayland $!
check_loaded wayland /tmp/ld-wayland
if grep -l "EGL not available" "$scratch"/installer-*.log; then
    fail "Qt looked for EGL"
fi
stop "$weston"
echo "all runs passed"
INSIDE
echo "the released folder installed and opened the app on $suite"
