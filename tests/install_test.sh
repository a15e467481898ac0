#!/usr/bin/env bash
# Installs the build into a scratch root and checks that quilmar-init is the
# same program as quilmar under a second name.
set -euo pipefail
build_dir=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR="$root" cmake --install "$build_dir" --prefix /usr >/dev/null
bin="$root/usr/bin"
[ -x "$bin/quilmar" ] || { echo "quilmar not installed"; exit 1; }
[ "$(readlink "$bin/quilmar-init")" = quilmar ] || { echo "quilmar-init is not a link to quilmar"; exit 1; }
[ -x "$root/usr/sbin/tapwarden" ] || { echo "tapwarden not installed"; exit 1; }
"$bin/quilmar" -V | grep -q '^Quilmar, a zero-config' || { echo "installed quilmar does not run"; exit 1; }
usage=$("$bin/quilmar-init" -x || true)  # the usage text ends with status 1
grep -q 'usage: quilmar-init' <<<"$usage" || { echo "installed quilmar-init does not run"; exit 1; }
echo "install layout ok"
