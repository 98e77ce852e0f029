#!/usr/bin/env bash
# The release command on bad inputs: each gets its own message and leaves nothing behind.
#   bad_inputs.sh BUILD SOURCE FIXTURE_APP
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
            [ "${args[$i]}" = "$1" ] && args[$((i + 1))]=$2
        done
        shift 2
    done
    local status=0
    "$source_dir/scripts/release" "${args[@]}" >"$scratch/stdout" 2>"$scratch/stderr" || status=$?
    check "refused ($fragment)" [ "$status" -ne 0 ]
    grep -qF -- "$fragment" "$scratch/stderr" ||
        { echo "FAIL: expected '$fragment' in: $(cat "$scratch/stderr")" >&2 && exit 1; }
    # No output, no work folder.
    check "nothing left for ($fragment)" [ -z "$(ls -A "$scratch/out" | grep -vx existing || true)" ]
}

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
