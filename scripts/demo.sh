#!/bin/sh
# Set-up, build, then each plug-in in the host against the local fake cloud.
set -e
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
for demo in scripts/demo_harkwire.sh scripts/demo_speakwire.sh; do
	if [ -f "$demo" ]; then
		sh "$demo" build
	fi
done
