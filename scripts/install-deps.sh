#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Non-interactive; packages already present are skipped, so a second run is quick.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang libclang-rt-dev
  rapidjson-dev libspdlog-dev libfmt-dev libpugixml-dev
  libsqlite3-dev libldap-dev libgmime-3.0-dev libsystemd-dev libcli11-dev libcurl4-openssl-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  slapd ldap-utils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}; run this script as root" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# slapd asks for an admin password on install; the tests run their own slapd,
# so the packaged instance is left unconfigured.
echo "slapd slapd/no_configuration boolean true" | debconf-set-selections
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
