# Shared by the release tests: a fresh folder and a signable app built around a real program.
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

make_app() { # folder
    local app=$1/$bundle_name
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
  <key>CFBundleVersion</key><string>310.1</string>
</dict>
</plist>
PLIST
    # Some bulk, so that the installer carries part of the package and downloads the rest.
    head -c $((3 << 20)) /dev/urandom >"$app/Contents/Resources/data.bin"
    echo "$app"
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
