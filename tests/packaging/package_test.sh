#!/usr/bin/env bash
# Builds the Debian packages from a built tree and checks them as an
# administrator would meet them: control fields and file lists, the systemd
# units, the manual pages, the shell completion, lintian when installed and,
# as root, a real install, upgrade, removal and purge in a throw-away overlay
# of this machine's root.
# usage: package_test.sh BUILD_DIR SOURCE_DIR VERSION
# Exits 77 (skipped) when the packaging tools are missing.
# Checks go on after a failure, so that one run reports all of them.
set -uo pipefail
build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)
version=$3  # the build's one version: the packages' and every program's

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip_part() { echo "SKIPPED: $*"; }

for tool in cpack dpkg-deb dpkg-shlibdeps file gzip; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: $tool is not installed (scripts/deps.sh installs dpkg-dev and file)"
    exit 77
  fi
done

work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

# --- build ------------------------------------------------------------------
if ! (cd "$build" && cpack -G DEB -B "$work/cpack" >"$work/cpack.log" 2>&1); then
  cat "$work/cpack.log"
  echo "FAIL: cpack could not build the packages"
  exit 1
fi
debs=$work/debs
mkdir -p "$debs"
cp "$work"/cpack/*.deb "$debs/"
arch=$(dpkg --print-architecture)
for pkg in quilmar tapwarden quilmar-server; do
  [ -f "$debs/${pkg}_${version}_${arch}.deb" ] || fail "no ${pkg}_${version}_${arch}.deb built"
done
[ "$(ls "$debs" | wc -l)" -eq 3 ] || fail "expected 3 packages, got: $(ls "$debs")"
[ "$failures" -eq 0 ] || exit 1
deb() { echo "$debs/${1}_${version}_${arch}.deb"; }

# --- control fields -----------------------------------------------------------
field() { dpkg-deb -f "$(deb "$1")" "$2"; }
# The Debian package of the library a program is linked against.
needs_lib() {
  local pkg=$1 program=$2 soname=$3 libpkg=$4
  dpkg-deb --fsys-tarfile "$(deb "$pkg")" | tar -xO ".$program" >"$work/prog"
  if objdump -p "$work/prog" | grep -q "NEEDED *$soname"; then
    grep -Eq "(^|, )$libpkg( |,|$)" <<<"$(field "$pkg" Depends)" ||
      fail "$pkg links $soname but does not depend on $libpkg: $(field "$pkg" Depends)"
  fi
}
for pkg in quilmar tapwarden quilmar-server; do
  [ "$(field $pkg Package)" = "$pkg" ] || fail "$pkg: Package is '$(field $pkg Package)'"
  [ "$(field $pkg Version)" = "$version" ] || fail "$pkg: Version is '$(field $pkg Version)'"
  [ "$(field $pkg Architecture)" = "$arch" ] || fail "$pkg: Architecture"
  [ "$(field $pkg Section)" = net ] || fail "$pkg: Section is '$(field $pkg Section)'"
  [ -n "$(field $pkg Maintainer)" ] || fail "$pkg: no Maintainer"
  [ "$(field $pkg Description | wc -l)" -gt 2 ] || fail "$pkg: no long Description"
  grep -q 'libc6 (>=' <<<"$(field $pkg Depends)" ||
    fail "$pkg: no versioned libc6 in Depends (dpkg-shlibdeps did not run?)"
done
needs_lib quilmar /usr/bin/quilmar libbsd.so.0 libbsd0
needs_lib quilmar /usr/bin/quilmar libcrypto.so.3 libssl3
needs_lib tapwarden /usr/sbin/tapwarden libbsd.so.0 libbsd0
for lib in "libcrypto.so.3 libssl3" "libsqlite3.so.0 libsqlite3-0" "libbsd.so.0 libbsd0"; do
  needs_lib quilmar-server /usr/sbin/quilmar-server $lib
done
grep -q libssl3 <<<"$(field quilmar-server Depends)" || fail "quilmar-server: no libssl3"
grep -q libsqlite3-0 <<<"$(field quilmar-server Depends)" || fail "quilmar-server: no libsqlite3-0"
grep -q adduser <<<"$(field tapwarden Depends)" || fail "tapwarden: no adduser in Depends"
grep -q adduser <<<"$(field quilmar-server Depends)" || fail "quilmar-server: no adduser"
grep -q tapwarden <<<"$(field quilmar Recommends)" || fail "quilmar does not recommend tapwarden"

# --- file lists -----------------------------------------------------------------
# Files and links, without directories: "path" or "path -> target".
contents() {
  dpkg-deb -c "$(deb "$1")" | awk '$1 !~ /^d/ { $1=$2=$3=$4=$5=""; sub(/^ +/, ""); print }' | sort
}
expect_contents() {
  local pkg=$1; shift
  printf '%s\n' "$@" | sort >"$work/expected"
  contents "$pkg" >"$work/actual"
  diff -u "$work/expected" "$work/actual" >"$work/diff" || {
    fail "$pkg: unexpected file list"
    cat "$work/diff"
  }
}
expect_contents quilmar ./usr/bin/quilmar "./usr/bin/quilmar-init -> quilmar" \
  ./usr/lib/systemd/user/quilmar.service \
  ./usr/share/bash-completion/completions/quilmar \
  "./usr/share/bash-completion/completions/quilmar-init -> quilmar" \
  ./usr/lib/sysctl.d/10-quilmar.conf \
  ./usr/share/doc/quilmar/changelog.Debian.gz ./usr/share/doc/quilmar/copyright \
  ./usr/share/man/man1/quilmar.1.gz ./usr/share/man/man1/quilmar-init.1.gz
expect_contents tapwarden ./usr/sbin/tapwarden ./lib/systemd/system/tapwarden.service \
  ./etc/default/tapwarden ./usr/share/man/man8/tapwarden.8.gz \
  ./usr/share/doc/tapwarden/changelog.Debian.gz ./usr/share/doc/tapwarden/copyright
expect_contents quilmar-server ./usr/sbin/quilmar-server \
  ./lib/systemd/system/quilmar-server.service ./etc/default/quilmar-server \
  ./usr/share/bash-completion/completions/quilmar-server \
  ./usr/share/man/man8/quilmar-server.8.gz \
  ./usr/share/doc/quilmar-server/changelog.Debian.gz ./usr/share/doc/quilmar-server/copyright

# Everything under /etc is a conffile, so an upgrade never overwrites it.
for pkg in quilmar tapwarden quilmar-server; do
  rm -rf "$work/control"
  dpkg-deb -e "$(deb "$pkg")" "$work/control"
  contents "$pkg" | sed -n 's|^\./etc/|/etc/|p' | while read -r conf; do
    grep -qx "$conf" "$work/control/conffiles" 2>/dev/null || echo "$pkg: $conf"
  done >"$work/not_conffiles"
  [ ! -s "$work/not_conffiles" ] || fail "not conffiles: $(cat "$work/not_conffiles")"
  for script in postinst prerm postrm; do
    if [ -e "$work/control/$script" ]; then
      [ -x "$work/control/$script" ] || fail "$pkg: $script is not executable"
      sh -n "$work/control/$script" || fail "$pkg: $script has a syntax error"
    fi
  done
  case $pkg in
    quilmar | tapwarden | quilmar-server)
      [ -x "$work/control/postinst" ] || fail "$pkg: no postinst" ;;
  esac
done

root=$work/root
for pkg in quilmar tapwarden quilmar-server; do dpkg-deb -x "$(deb "$pkg")" "$root"; done
[ "$("$root/usr/bin/quilmar" -V | head -1)" = \
  "Quilmar, a zero-config virtual private networking utility, ver $version" ] ||
  fail "packaged quilmar does not run or is not version $version"
for program in sbin/tapwarden sbin/quilmar-server; do
  name=$(basename $program)
  [ "$("$root/usr/$program" --version)" = "$name $version" ] ||
    fail "packaged $name -V does not say $version"
done
for page in "$root"/usr/share/man/man*/*.gz; do
  zgrep -q "^\.TH .*\"Quilmar $version\"" "$page" || fail "$(basename "$page") is not of $version"
done
# The usage text ends with status 1.
grep -q 'usage: quilmar-init' <<<"$("$root/usr/bin/quilmar-init" -x)" ||
  fail "packaged quilmar-init does not run as quilmar-init"
# Whole outputs: grep -q leaving early would make the program's next write
# fail, and the pipeline with it.
grep -q '^usage: tapwarden' <<<"$("$root/usr/sbin/tapwarden" -h)" ||
  fail "packaged tapwarden does not run"
grep -q '^usage: quilmar-server' <<<"$("$root/usr/sbin/quilmar-server" -h)" ||
  fail "packaged quilmar-server does not run"

# --- no built-in server key ----------------------------------------------------------
# The packaged client trusts no server by itself: a fresh configuration
# starts, and a login says which file is missing instead of talking to
# anyone. Nor does the program carry the demo key, whose private half is
# public.
keyless=$work/keyless
"$root/usr/bin/quilmar-init" -c "$keyless" -n packager >/dev/null || fail "packaged quilmar-init"
echo "DummyTap yes" >"$keyless/config"
"$root/usr/bin/quilmar" -c "$keyless" start debug >"$work/keyless.log" 2>&1 &
keyless_daemon=$!
for _ in $(seq 100); do [ -S "$keyless/ipc_sock" ] && break; sleep 0.1; done
login=$("$root/usr/bin/quilmar" -c "$keyless" login 2>&1)
"$root/usr/bin/quilmar" -c "$keyless" stop >/dev/null 2>&1
kill "$keyless_daemon" 2>/dev/null
wait "$keyless_daemon"
grep -qF "No server key: copy your mediation server's server.pub to $keyless/server.pub" <<<"$login" ||
  fail "a login without server.pub does not say what is missing: $login"
grep -qF "cfg: no server key: $keyless/server.pub is missing" "$work/keyless.log" ||
  fail "the daemon does not name the missing server.pub: $(cat "$work/keyless.log")"
grep -q "ses: resolved" "$work/keyless.log" && fail "the keyless daemon looked for a server"
demo_modulus=$(od -An -v -tx1 -j3 -N32 "$source_dir/keys/demo-server.pub" | tr -d ' \n')
od -An -v -tx1 "$root/usr/bin/quilmar" | tr -d ' \n' | grep -q "$demo_modulus" &&
  fail "the packaged quilmar carries the demo server key"

# --- manual pages -----------------------------------------------------------------
for page in "$root"/usr/share/man/man*/*.gz; do
  name=$(basename "$page")
  zcat "$page" | LC_ALL=C.UTF-8 groff -ww -man -Tutf8 >/dev/null 2>"$work/groff.err" ||
    fail "$name: groff failed"
  [ ! -s "$work/groff.err" ] || fail "$name: groff warnings: $(cat "$work/groff.err")"
  if command -v man >/dev/null; then
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" >/dev/null 2>"$work/man.err" ||
      fail "$name: man -l failed"
    [ ! -s "$work/man.err" ] || fail "$name: man warnings: $(cat "$work/man.err")"
  else
    skip_part "man -l $name: man is not installed"
  fi
done
rendered() { zcat "$root/usr/share/man/$1" | LC_ALL=C.UTF-8 groff -man -Tutf8 2>/dev/null | col -bx; }
# Every command of the usage text, and every option of the programs, is in
# its page.
# The usage text lists them between "one of the following" and the next
# paragraph, some lines marked with '#'.
usage_commands=$("$root/usr/bin/quilmar" -h |
  sed -n '/one of the following/,/If no command/{/one of the following/d; s/^ *#\? \+\([a-z][a-z-]*\).*/\1/p}' | sort -u)
[ "$(wc -l <<<"$usage_commands")" -ge 14 ] || fail "could not read the commands from quilmar -h"
page=$(rendered man1/quilmar.1.gz)
for cmd in $usage_commands; do
  grep -Eq "^ {7}$cmd( |,|$)" <<<"$page" || fail "quilmar(1) does not describe '$cmd'"
done
for opt in -c -V -L; do grep -Eq "^ {7}$opt( |$)" <<<"$page" || fail "quilmar(1) lacks $opt"; done
page=$(rendered man1/quilmar-init.1.gz)
for opt in -c -f -n; do grep -Eq "^ {7}$opt( |$)" <<<"$page" || fail "quilmar-init(1) lacks $opt"; done
page=$(rendered man8/tapwarden.8.gz)
for opt in $("$root/usr/sbin/tapwarden" -h | sed -n 's/^  \(-[a-z]\) .*/\1/p'); do
  grep -Eq "^ {7}$opt( |,|$)" <<<"$page" || fail "tapwarden(8) lacks $opt"
done
page=$(rendered man8/quilmar-server.8.gz)
for opt in $("$root/usr/sbin/quilmar-server" -h | sed -n 's/^  \(-[-a-z]*\) .*/\1/p') init run; do
  grep -Eq "^ {7}$opt( |,|$)" <<<"$page" || fail "quilmar-server(8) lacks $opt"
done

# --- bash completion -----------------------------------------------------------------
# The two helpers of the bash-completion package that the script uses.
completion_words=$(bash -c '
  _init_completion() {
    words=("${COMP_WORDS[@]}"); cword=$COMP_CWORD
    cur=${words[cword]}; prev=${words[cword-1]}
  }
  _filedir() { :; }
  quilmar() { local IFS=" "; [ "$*" = "-c /x list --names" ] && printf "alpha net\nbeta\n"; }
  source "$1"
  complete -p quilmar quilmar-init >/dev/null || exit 1
  COMP_WORDS=(quilmar ""); COMP_CWORD=1; _quilmar
  printf "%s\n" "${COMPREPLY[@]}" | sort; echo --
  COMP_WORDS=(quilmar -c /x leave ""); COMP_CWORD=4; _quilmar
  printf "%s\n" "${COMPREPLY[@]}"; echo --
  COMP_WORDS=(quilmar start ""); COMP_CWORD=2; _quilmar
  printf "%s\n" "${COMPREPLY[@]}"
' - "$root/usr/share/bash-completion/completions/quilmar")
commands_offered=$(sed -n '1,/^--$/p' <<<"$completion_words" | grep -v '^--$')
# Beside those of the usage text, our own: peers.
expected_commands=$( (grep -vx -e shutdown -e resolve -e kill-io <<<"$usage_commands"; echo peers) |
  sort)
[ "$commands_offered" = "$expected_commands" ] ||
  fail "completion offers '$(echo $commands_offered)', usage lists '$(echo $expected_commands)'"
networks_offered=$(sed -n '/^--$/,/^--$/p' <<<"$completion_words" | grep -v '^--$' | paste -sd'|')
[ "$networks_offered" = "alpha net|beta" ] ||
  fail "completion of 'quilmar leave' offers '$networks_offered'"
[ "$(tail -1 <<<"$completion_words")" = debug ] || fail "completion of 'quilmar start'"
# quilmar-server's completion offers every command of its usage text.
server_words=$(bash -c '
  _init_completion() {
    words=("${COMP_WORDS[@]}"); cword=$COMP_CWORD
    cur=${words[cword]}; prev=${words[cword-1]}
  }
  source "$1"
  COMP_WORDS=(quilmar-server ""); COMP_CWORD=1; _quilmar_server; echo "${COMPREPLY[@]}"
  COMP_WORDS=(quilmar-server networks ""); COMP_CWORD=2; _quilmar_server; echo "${COMPREPLY[@]}"
' - "$root/usr/share/bash-completion/completions/quilmar-server")
for cmd in $("$root/usr/sbin/quilmar-server" -h | sed -n 's/^ *\(usage:\)\? *quilmar-server \([a-z]\+\).*/\2/p' | sort -u); do
  grep -qw -- "$cmd" <<<"$(head -1 <<<"$server_words")" || fail "quilmar-server completion lacks '$cmd'"
done
for verb in list show delete set-owner set-password ban unban; do
  grep -qw -- "$verb" <<<"$(tail -1 <<<"$server_words")" || fail "completion of 'quilmar-server networks' lacks $verb"
done

# --- systemd units -----------------------------------------------------------------
if command -v systemd-analyze >/dev/null; then
  # Checked against the unpacked packages: their programs and manual pages.
  for unit in lib/systemd/system/tapwarden.service lib/systemd/system/quilmar-server.service; do
    sed -e "s|/usr/sbin/|$root/usr/sbin/|g" -e "s|/usr/bin/|$root/usr/bin/|g" "$root/$unit" \
      >"$work/$(basename "$unit")"
    MANPATH=$root/usr/share/man SYSTEMD_LOG_COLOR=0 \
      systemd-analyze verify "$work/$(basename "$unit")" >"$work/verify.log" 2>&1 ||
      { fail "systemd-analyze verify $unit"; cat "$work/verify.log"; }
    grep -v -e 'Failed to connect to bus' "$work/verify.log" | grep . &&
      fail "systemd-analyze verify $unit complained"
  done
  sed -e "s|/usr/bin/|$root/usr/bin/|g" "$root/usr/lib/systemd/user/quilmar.service" \
    >"$work/quilmar.service"
  mkdir -m 0700 "$work/xdg"
  XDG_RUNTIME_DIR=$work/xdg MANPATH=$root/usr/share/man \
    systemd-analyze --user verify "$work/quilmar.service" \
    >"$work/verify.log" 2>&1 || { fail "systemd-analyze --user verify quilmar.service"; cat "$work/verify.log"; }
else
  skip_part "systemd-analyze verify: systemd-analyze is not installed"
fi
grep -q '^CapabilityBoundingSet=CAP_NET_ADMIN' "$root/lib/systemd/system/tapwarden.service" ||
  fail "tapwarden.service does not bound its capabilities to CAP_NET_ADMIN and what it needs"
grep -q '^ExecStart=/usr/sbin/tapwarden -g quilmar' "$root/lib/systemd/system/tapwarden.service" ||
  fail "tapwarden.service does not give the socket to group quilmar"
grep -q '^ExecStart=/usr/bin/quilmar start debug$' "$root/usr/lib/systemd/user/quilmar.service" ||
  fail "quilmar.service does not run the daemon in the foreground"

# --- lintian -----------------------------------------------------------------
if command -v lintian >/dev/null; then
  # Errors fail; warnings are shown.
  lintian --allow-root --fail-on error "$debs"/*.deb >"$work/lintian.log" 2>&1 ||
    fail "lintian reports errors"
  cat "$work/lintian.log"
else
  skip_part "lintian: not installed"
fi

# --- install, upgrade, remove, purge -------------------------------------------------
# dpkg runs in a chroot over an overlay of this root, in a mount namespace
# of its own: the machine itself stays untouched.
if [ "$(id -u)" -ne 0 ]; then
  skip_part "install, upgrade and purge: needs root"
elif ! command -v unshare >/dev/null || ! unshare -m true 2>/dev/null; then
  skip_part "install, upgrade and purge: cannot make a mount namespace here"
else
  cat >"$work/inside.sh" <<'EOF'
set -u
fail() { echo "FAIL: $*"; }
cd /
export DEBIAN_FRONTEND=noninteractive PATH=/usr/sbin:/usr/bin:/sbin:/bin
# Rebuilding the whole manual page index after each dpkg run would take
# most of the time here.
rm -f /var/lib/man-db/auto-update
dpkg -i /debs/*.deb >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg -i"; exit; }
/usr/bin/quilmar -V >/dev/null || fail "installed quilmar does not run"
[ "$(readlink /usr/bin/quilmar-init)" = quilmar ] || fail "installed quilmar-init"
gid=$(getent group quilmar | cut -d: -f3)
[ -n "$gid" ] && [ "$gid" -lt 1000 ] || fail "no system group quilmar ($gid)"
IFS=: read -r _ _ uid _ _ home shell <<<"$(getent passwd quilmar-server)"
[ -n "$uid" ] && [ "$uid" -lt 1000 ] || fail "no system user quilmar-server ($uid)"
[ "$home" = /var/lib/quilmar-server ] || fail "quilmar-server's home is $home"
[ "$shell" = /usr/sbin/nologin ] || fail "quilmar-server's shell is $shell"
for unit in tapwarden quilmar-server; do
  [ -L /etc/systemd/system/multi-user.target.wants/$unit.service ] || fail "$unit not enabled"
done
# The administrator's changes survive an upgrade, and so does a disabled unit.
echo 'TAPWARDEN_OPTS="-m 1280"' >/etc/default/tapwarden
rm /etc/systemd/system/multi-user.target.wants/quilmar-server.service
dpkg -i /debs/*.deb >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg -i again"; }
grep -q 'TAPWARDEN_OPTS="-m 1280"' /etc/default/tapwarden || fail "upgrade replaced /etc/default/tapwarden"
[ -L /etc/systemd/system/multi-user.target.wants/quilmar-server.service ] &&
  fail "upgrade enabled the disabled quilmar-server.service"
[ "$(grep -c '^quilmar:' /etc/group)" -eq 1 ] || fail "group quilmar twice"
[ "$(grep -c '^quilmar-server:' /etc/passwd)" -eq 1 ] || fail "user quilmar-server twice"
dpkg -r quilmar tapwarden quilmar-server >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg -r"; }
[ -e /usr/sbin/tapwarden ] && fail "dpkg -r left tapwarden"
[ -e /etc/default/tapwarden ] || fail "dpkg -r removed a conffile"
dpkg -P tapwarden quilmar-server >/tmp/dpkg.log 2>&1 || { cat /tmp/dpkg.log; fail "dpkg -P"; }
[ -e /etc/default/tapwarden ] && fail "purge left /etc/default/tapwarden"
[ -L /etc/systemd/system/multi-user.target.wants/tapwarden.service ] &&
  fail "purge left tapwarden.service enabled"
echo "install, upgrade, remove and purge checked"
EOF
  cat >"$work/outside.sh" <<'EOF'
set -eu
work=$1
mount --make-rprivate /
mkdir -p "$work/ovl"
mount -t tmpfs tmpfs "$work/ovl"
mkdir "$work/ovl/up" "$work/ovl/work" "$work/ovl/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$work/ovl/up,workdir=$work/ovl/work" "$work/ovl/root"
r=$work/ovl/root
mount --rbind /dev "$r/dev"
mount -t proc proc "$r/proc"
mount -t tmpfs tmpfs "$r/tmp"
mount -t tmpfs tmpfs "$r/run"
mkdir -p "$r/debs"
cp "$work"/debs/*.deb "$r/debs/"
cp "$work/inside.sh" "$r/tmp/inside.sh"
chroot "$r" bash /tmp/inside.sh 2>&1
EOF
  unshare -m bash "$work/outside.sh" "$work" >"$work/install.log" 2>&1 ||
    fail "could not set up the overlay root"
  cat "$work/install.log"
  grep -q '^FAIL' "$work/install.log" && fail "install, upgrade and purge"
  grep -q 'install, upgrade, remove and purge checked' "$work/install.log" ||
    fail "the install check did not run to its end"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "packages ok"
