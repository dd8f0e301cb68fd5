#!/usr/bin/env bash
# Installs the build into a staging folder and checks that a desktop finds everything there.
#   check-install.sh BUILD_DIR CLI_HELP_SOURCE(the built vellorine-cli)
set -euo pipefail
build="$1" cli="$2"
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage" >/dev/null

fail=0
need() { [ -s "$stage/$1" ] || { echo "missing after install: $1"; fail=1; }; }
need bin/vellorine
need bin/vellorine-cli
need bin/FileSetting.txt  # carving's default signatures, found beside the program
need share/applications/vellorine.desktop
need share/icons/hicolor/scalable/apps/vellorine.svg
for size in 16 22 24 32 48 64 128 256; do
    png="share/icons/hicolor/${size}x${size}/apps/vellorine.png"
    need "$png"
    # Each PNG has the size its folder names (width and height in the IHDR chunk).
    if [ -s "$stage/$png" ]; then
        dims=$(od -An -tu1 -j16 -N8 "$stage/$png" | awk '{print $3*256+$4, $7*256+$8}')
        [ "$dims" = "$size $size" ] || { echo "$png is $dims"; fail=1; }
    fi
done
need share/doc/vellorine/user-guide.md
need share/man/man1/vellorine-cli.1

desktop-file-validate "$stage/share/applications/vellorine.desktop" || fail=1
grep -qx 'Exec=vellorine %f' "$stage/share/applications/vellorine.desktop" || {
    echo "the desktop entry does not start vellorine"; fail=1; }
# The man page tells every command the program has.
for c in $("$cli" --help | awk '/^Subcommands:/ {on = 1; next} on && NF {print $1}'); do
    grep -q "^\.SS $c\$" "$stage/share/man/man1/vellorine-cli.1" || {
        echo "the man page lacks the $c command"; fail=1; }
done
"$stage/bin/vellorine-cli" --version | grep -q vellorine-cli || fail=1
exit $fail
