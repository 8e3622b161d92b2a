#!/bin/sh
# A real recognition end to end: the fake cloud on 127.0.0.1, harkwire in the host, a short raw PCM
# file streamed in real time, and the NLSML result printed.
# Usage: sh scripts/demo_harkwire.sh [BUILD_DIR]   (default: build, already built)
set -e
cd "$(dirname "$0")/.."
top=$(pwd)
build=${1:-build}
case "$build" in /*) ;; *) build="$top/$build" ;; esac

root=$(mktemp -d /tmp/harkwire-demo.XXXXXX)
fake_pid=
cleanup() {
	[ -n "$fake_pid" ] && kill "$fake_pid" 2>/dev/null && wait "$fake_pid" 2>/dev/null
	rm -rf "$root"
}
trap cleanup EXIT INT TERM
mkdir -p "$root/bin" "$root/conf" "$root/data"

"$build/tests/fakecloud/fake-cloud" --recognize "hello from the fake cloud" --recognize-bytes 16000 \
	>"$root/fake.log" 2>&1 &
fake_pid=$!
i=0
until grep -q '^wss url' "$root/fake.log"; do
	i=$((i + 1))
	if [ $i -gt 100 ]; then echo "fake-cloud did not start:"; cat "$root/fake.log"; exit 1; fi
	sleep 0.1
done
token_url=$(sed -n 's/^token url: *//p' "$root/fake.log")
wss_url=$(sed -n 's/^wss url: *//p' "$root/fake.log")

cat >"$root/conf/unimrcprecog.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<durnel>
  <system init-path="${wss_url%/}/asr/sentence-stream"/>
  <auth_info token_interval="3600" token_server="$token_url" user_name="demo" user_password="demo"
             user_domain_name="demo" scope_project_name="demo"/>
</durnel>
EOF

# Two seconds of a 440 Hz tone, 16-bit little-endian LPCM at 8 kHz.
perl -e 'print pack("s<*", map { int(8000 * sin(2 * 3.14159265 * 440 * $_ / 8000)) } 0 .. 15999)' \
	>"$root/tone.pcm"

cat >"$root/recognize.script" <<EOF
open ch1 harkwire rate=8000
request ch1 RECOGNIZE
Content-Type: application/srgs+xml
Content-Id: <demo>
body
<grammar mode="voice"><rule id="service"><one-of><item><ruleref uri="#speech-to-text"/></item></one-of></rule></grammar>
end
wait-response ch1
stream ch1 $root/tone.pcm
wait-event ch1 RECOGNITION-COMPLETE timeout=10000
close ch1
EOF

echo "== harkwire: recognition against the fake cloud ($wss_url)"
# The token file is written to ../conf, relative to the working directory.
cd "$root/bin"
"$build/host/src/mrcp-host" -q --plugin "$build/plugins/harkwire/harkwire.so" --conf "$root/conf" \
	--data "$root/data" "$root/recognize.script" >"$root/host.out"
grep -E '^(RESPONSE|EVENT)' "$root/host.out" | sed 's/ body=<.*//'
echo "== NLSML result"
line=$(grep '^EVENT RECOGNITION-COMPLETE' "$root/host.out")
# The host writes the body on one line with \\, \r and \n escaped.
printf '%b' "$(printf '%s' "$line" | sed 's/.* body=<//; s/>$//')" | tr -d '\r'
