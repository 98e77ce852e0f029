#!/usr/bin/env bash
# The release the released-folder tests run: the release command on this build's binaries and a
# signable test app, into RELEASED/out (made anew).
#   make_release.sh BUILD SOURCE FIXTURE_APP RELEASED
# shellcheck source=common.sh
source "$(dirname "$0")/common.sh"
released=$4
rm -rf "$released"
mkdir -p "$released"
app=$(make_app "$released/app")
release_args "$app" "$release_url" $((1 << 20)) "$released/out"
start=$(date +%s.%N)
"$source_dir/scripts/release" "${args[@]}" | tee "$released/release.log"
awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "release step: %.1f s\n", b - a }'
