#!/bin/sh
# Fails unless the shared library exports exactly the four plug-in entry points (plus what the toolchain adds).
# Usage: check_exports.sh LIBRARY.so
set -u
lib="${1:?usage: check_exports.sh LIBRARY.so}"
[ -f "$lib" ] || { echo "check_exports: no such file: $lib" >&2; exit 2; }
symbols=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@.*//' | sort -u) || exit 2
status=0
for name in mrcp_plugin_create mrcp_plugin_version mrcp_plugin_logger_set mrcp_plugin_log_source_set; do
  echo "$symbols" | grep -qx "$name" || { echo "check_exports: $lib does not export $name" >&2; status=1; }
done
extra=$(echo "$symbols" | grep -vxE 'mrcp_plugin_(create|version|logger_set|log_source_set)|_init|_fini|_edata|_end|__bss_start|' )
if [ -n "$extra" ]; then
  echo "check_exports: $lib exports more than the entry points:" >&2
  echo "$extra" >&2
  status=1
fi
[ $status -eq 0 ] && echo "check_exports: $lib exports only the four entry points"
exit $status
