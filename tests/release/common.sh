# shellcheck shell=bash
# Shared by the release tests: a fresh folder and a signable app built around a real program.
# Sourced: the variables set here are the sourcing script's.
# shellcheck disable=SC2034
set -euo pipefail
build=$1
source_dir=$2
fixture_app=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-release-test-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
authority=$build/authority
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
display_name=$(cache_value QUORVANE_DISPLAY_NAME)
bundle_name=$(cache_value QUORVANE_BUNDLE_NAME)
identifier=$(cache_value QUORVANE_BUNDLE_IDENTIFIER)
check() { # what, then the condition as a command
    local what=$1
    shift
    "$@" || { echo "FAIL: $what" >&2 && exit 1; }
}

make_app() { # folder [build number]
    local app=$1/$bundle_name bundle_build=${2:-310.1}
    mkdir -p "$app/Contents/MacOS" "$app/Contents/Resources"
    cp "$fixture_app" "$app/Contents/MacOS/$display_name"
    cat >"$app/Contents/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>$identifier</string>
  <key>CFBundleExecutable</key><string>$display_name</string>
  <key>CFBundleShortVersionString</key><string>3.1.0</string>
  <key>CFBundleVersion</key><string>$bundle_build</string>
</dict>
</plist>
PLIST
    # Some bulk, so that the installer carries part of the package and downloads the rest.
    head -c $((3 << 20)) /dev/urandom >"$app/Contents/Resources/data.bin"
    echo "$app"
}

# Where the released installer downloads from: the tests serve it inside a network namespace of
# their own, so the port is always free.
release_url=https://127.0.0.1/releases/quorvane-pro-3.1.0.pkg
folder_name="Install $display_name"

# A configuration for nginx serving WWW over HTTPS on the release URL's address with the build's
# TLS certificate (copied, so that the build tree may be hidden afterwards).
nginx_conf() { # folder, www
    local dir=$1 www=$2
    mkdir -p "$dir" "$www/releases"
    cp "$build/authority/tls.pem" "$build/authority/tls.key" "$dir/"
    cat >"$dir/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events {}
http {
  access_log $dir/access.log;
  client_body_temp_path $dir;
  proxy_temp_path $dir;
  fastcgi_temp_path $dir;
  uwsgi_temp_path $dir;
  scgi_temp_path $dir;
  server {
    listen 127.0.0.1:443 ssl;
    ssl_certificate $dir/tls.pem;
    ssl_certificate_key $dir/tls.key;
    root $www;
  }
}
CONF
}

# The released folder unpacked from the tarball into DIR, as a user would, after the checks of
# what it must and must not carry.
unpack_release() { # release output folder, target folder
    local out=$1 into=$2
    check "tarball checksum" bash -c "cd '$out' && sha256sum -c --quiet '$folder_name.tar.xz.sha256'"
    mkdir -p "$into"
    tar -C "$into" -xJf "$out/$folder_name.tar.xz"
    local folder=$into/$folder_name exe
    for notice in libqt6core6 libcurl4 libqt6svg6 Inter-OFL; do
        check "the notice $notice travels" [ -s "$folder/licenses/$notice.txt" ]
    done
    for plugin in iconengines/libqsvgicon.so imageformats/libqsvg.so; do
        check "the plugin $plugin travels" [ -f "$folder/plugins/$plugin" ]
    done
    check "libQt6Svg travels" [ -f "$folder/lib/libQt6Svg.so.6" ]
    check "no C++ runtime travels" [ -z "$(find "$folder" -name 'libstdc++*' -o -name 'libgcc_s*')" ]
    check "no GL integration travels" [ -z "$(find "$folder/plugins" -name '*egl*' -o -name '*glx*' \
        -o -name 'xcbglintegrations' -o -name 'wayland-graphics-integration-client')" ]
    for exe in quorvane-installer pkgutil codesign; do
        check "$exe is stripped" bash -c "! readelf -S '$folder/$exe' | grep -q '\.debug_info'"
        local id
        id=$(readelf -n "$folder/$exe" | sed -n 's/^ *Build ID: *//p')
        check "$exe's debug information is kept by build id" \
            bash -c "readelf -S '$out/debug/.build-id/${id:0:2}/${id:2}.debug' 2>/dev/null | grep -q '\.debug_info'"
    done
}

# The test build's installer trusts the build's own authority for downloads.
release_args() { # app, url, carry, output: sets args
    args=(--build "$build" --app "$1" \
        --app-key "$authority/application.key" --app-chain "$authority/application-chain.pem" \
        --installer-key "$authority/installer.key" --installer-chain "$authority/installer-chain.pem" \
        --anchors "$(cache_value QUORVANE_TRUST_ANCHORS)" \
        --intermediates "$(cache_value QUORVANE_PLATFORM_INTERMEDIATES)" --ca "$authority/root.pem" \
        --url "$2" --carry "$3" --output "$4")
}
