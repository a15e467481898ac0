# Installs the Debian packages that building and testing need, when missing.
# Sourced by the scripts in this folder.
QUILMAR_PACKAGES=(cmake g++ make pkg-config libssl-dev libbsd-dev libgtest-dev
                  libgmock-dev libbenchmark-dev iproute2 iputils-ping openssl
                  clang libclang-rt-14-dev libsqlite3-dev sqlite3 libpq-dev postgresql
                  nftables netcat-openbsd dpkg-dev file groff-base man-db
                  nlohmann-json3-dev libcpp-httplib-dev jq ccache)

install_deps() {
  local missing=()
  for p in "${QUILMAR_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}
