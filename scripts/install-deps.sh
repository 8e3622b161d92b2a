#!/bin/sh
# Installs the Debian packages the build and the tests need; does nothing when all are there.
set -e
# libxml2-dev only for the tests: the fuzz targets check every NLSML result with a strict XML parser.
PACKAGES="cmake make g++ clang pkg-config openssl ca-certificates
libboost-system-dev libboost-thread-dev libboost-chrono-dev libboost-random-dev
libwebsocketpp-dev libssl-dev libcurl4-openssl-dev libjsoncpp-dev libtinyxml-dev
libapr1-dev libaprutil1-dev libgtest-dev libclang-rt-14-dev
libxml2-dev"

missing=""
for p in $PACKAGES; do
	if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
		missing="$missing $p"
	fi
done
[ -z "$missing" ] && exit 0

echo "installing:$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends $missing
