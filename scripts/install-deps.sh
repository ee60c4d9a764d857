#!/bin/sh
# Installs the Debian 12 packages needed to build kvZNPrint; with --fuzz also those of the
# fuzz targets, with --test also those of every stage of scripts/test.sh. Only missing
# packages are installed.
set -eu

BUILD_PKGS="cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libcups2-dev libsystemd-dev
libncurses-dev unixodbc-dev libgnutls28-dev libpam0g-dev"
FUZZ_PKGS="clang libclang-rt-14-dev"
TEST_PKGS="$FUZZ_PKGS clang-format procps util-linux python3-aiosmtpd cups cups-client cups-daemon
cups-ipp-utils systemd-journal-remote tmux chromium fonts-dejavu-core unixodbc odbcinst libsqliteodbc
odbc-postgresql postgresql rsyslog gnutls-bin libpam-modules passwd"

pkgs="$BUILD_PKGS"
case "${1:-}" in
--test) pkgs="$pkgs $TEST_PKGS" ;;
--fuzz) pkgs="$pkgs $FUZZ_PKGS" ;;
esac

missing=""
for p in $pkgs; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing:$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
