#!/usr/bin/env bash
# The release command on bad inputs: each gets its own message and leaves nothing behind.
#   bad_inputs.sh BUILD SOURCE FIXTURE_APP
# shellcheck source=common.sh
source "$(dirname "$0")/common.sh"

app=$(make_app "$scratch/app")
out=$scratch/out/release
mkdir -p "$scratch/out"
# A chain that is not under the build's anchors: the app signs but cannot verify.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$scratch/stranger.key" -out "$scratch/stranger.pem" \
    -subj "/CN=Stranger/OU=Q4ZT8WX2LM" -days 2 2>/dev/null

expect_refusal() { # expected message fragment, then the changes to the good arguments
    local fragment=$1
    shift
    release_args "$app" https://127.0.0.1:1/q.pkg 65536 "$out"
    while [ $# -gt 0 ]; do
        local i
        for i in "${!args[@]}"; do
            [ "${args[$i]}" = "$1" ] && args[i + 1]=$2
        done
        shift 2
    done
    local status=0
    "$source_dir/scripts/release" "${args[@]}" >"$scratch/stdout" 2>"$scratch/stderr" || status=$?
    check "refused ($fragment)" [ "$status" -ne 0 ]
    grep -qF -- "$fragment" "$scratch/stderr" ||
        { echo "FAIL: expected '$fragment' in: $(cat "$scratch/stderr")" >&2 && exit 1; }
    # No output, no work folder.
    check "nothing left for ($fragment)" \
        [ -z "$(find "$scratch/out" -mindepth 1 -maxdepth 1 ! -name existing)" ]
}

# Malformed command lines: the reason and the usage, status 2, nothing made.
usage_refusal() { # expected message fragment, then the whole command line
    local fragment=$1 status=0
    shift
    "$source_dir/scripts/release" "$@" >"$scratch/stdout" 2>"$scratch/stderr" || status=$?
    check "usage error ($fragment) exits with 2" [ "$status" -eq 2 ]
    if ! grep -qF -- "$fragment" "$scratch/stderr" || ! grep -q '^usage: ' "$scratch/stderr"; then
        echo "FAIL: expected '$fragment' and the usage in: $(cat "$scratch/stderr")" >&2 && exit 1
    fi
    check "nothing made for ($fragment)" [ -z "$(find "$scratch/out" -mindepth 1)" ]
}
release_args "$app" https://127.0.0.1:1/q.pkg 65536 "$out"
good=("${args[@]}")
usage_refusal "--build needs a value" --build
usage_refusal "--output needs a value" "${good[@]:0:${#good[@]}-1}"
usage_refusal "--build needs a value" --build --app "$app"
usage_refusal "unknown argument '--bild'" --bild "$build" "${good[@]:2}"
usage_refusal "--build is required" "${good[@]:2}"
usage_refusal "--url is given twice" "${good[@]}" --url https://127.0.0.1:1/r.pkg
"$source_dir/scripts/release" --help | grep -q -- '--installer-chain' || { echo "FAIL: --help" >&2 && exit 1; }

expect_refusal "does not match the certificate" --app-key "$authority/installer.key"
expect_refusal "does not match the certificate" --installer-chain "$authority/application-chain.pem"
expect_refusal "does not verify" --app-key "$scratch/stranger.key" --app-chain "$scratch/stranger.pem"
expect_refusal "must be https" --url http://127.0.0.1:1/q.pkg
expect_refusal "not smaller than the package" --carry $((64 << 20))
expect_refusal "anchors of" --anchors "$scratch/stranger.pem"
expect_refusal "intermediates of" --intermediates "$scratch/stranger.pem"
expect_refusal "not the system's store" --ca system
expect_refusal "CFBundleVersion '310' is not" --app "$(make_app "$scratch/single" 310)"
expect_refusal "CFBundleVersion '310.1-beta' is not" --app "$(make_app "$scratch/suffixed" 310.1-beta)"
mkdir "$scratch/out/existing"
expect_refusal "already exists" --output "$scratch/out/existing"
check "existing output untouched" [ -z "$(ls -A "$scratch/out/existing")" ]
echo "all bad inputs refused"
