#!/bin/sh
# A real synthesis end to end: the fake cloud on 127.0.0.1, speakwire in the host, a SPEAK whose
# synthesized audio plays out through the media clock into a raw PCM file (16-bit, 8 kHz, mono).
# Usage: sh scripts/demo_speakwire.sh [BUILD_DIR]   (default: build, already built)
set -e
cd "$(dirname "$0")/.."
top=$(pwd)
build=${1:-build}
case "$build" in /*) ;; *) build="$top/$build" ;; esac

root=$(mktemp -d /tmp/speakwire-demo.XXXXXX)
fake_pid=
cleanup() {
	[ -n "$fake_pid" ] && kill "$fake_pid" 2>/dev/null && wait "$fake_pid" 2>/dev/null
	rm -rf "$root"
}
trap cleanup EXIT INT TERM
mkdir -p "$root/bin" "$root/conf" "$root/data"

# One second of audio (16000 bytes) for every SPEAK.
"$build/tests/fakecloud/fake-cloud" --synthesize 16000 >"$root/fake.log" 2>&1 &
fake_pid=$!
i=0
until grep -q '^wss url' "$root/fake.log"; do
	i=$((i + 1))
	if [ $i -gt 100 ]; then echo "fake-cloud did not start:"; cat "$root/fake.log"; exit 1; fi
	sleep 0.1
done
token_url=$(sed -n 's/^token url: *//p' "$root/fake.log")
wss_url=$(sed -n 's/^wss url: *//p' "$root/fake.log")

cat >"$root/conf/synthplugin.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<pelka>
  <system><init-path>${wss_url%/}/tts</init-path></system>
  <auth_info token_interval="3600" token_server="$token_url">
    <auth_identity user_name="demo" user_password="demo" user_domain_name="demo"/>
    <auth_scope scope_project_name="demo"/>
  </auth_info>
</pelka>
EOF

out="$build/speakwire-demo.pcm"
cat >"$root/speak.script" <<EOF
open ch1 speakwire rate=8000
request ch1 SPEAK
Content-Type: text/plain
body
Hello from the synthesizer.
end
wait-response ch1
wait-event ch1 SPEAK-COMPLETE timeout=10000
sleep 50
save-audio ch1 $out
close ch1
EOF

echo "== speakwire: synthesis against the fake cloud ($wss_url)"
# The token file is written to ../conf, relative to the working directory.
cd "$root/bin"
"$build/host/src/mrcp-host" -q --plugin "$build/plugins/speakwire/speakwire.so" --conf "$root/conf" \
	--data "$root/data" "$root/speak.script" >"$root/host.out"
grep -E '^(RESPONSE|EVENT)' "$root/host.out" | sed 's/ body=<.*//'
echo "== played audio"
# The clock reads silence until the first audio arrives; show the audio from there.
skip=$(perl -e 'local $/; my $d = <STDIN>; print $d =~ /[^\0]/ ? $-[0] : 0' <"$out")
echo "$out: $(wc -c <"$out") bytes; the first 32 after $skip bytes of silence:"
od -A d -t x1 -j "$skip" -N 32 "$out"
echo "== what the service received"
grep -E 'text \{"command"|closed' "$root/fake.log" | sed 's/^/  /'
