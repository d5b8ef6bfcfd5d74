#!/usr/bin/env bash
# Usage: check_exports.sh PLUGIN.so
# Fails unless the plug-in's dynamic symbol table defines exactly the exported factories.
set -euo pipefail
plugin="${1:?usage: check_exports.sh PLUGIN.so}"
actual="$(nm -D --defined-only "${plugin}" | awk '{print $3}' | sort)"
allowed=$'CreateGuestAPIObject\nCreateVSAgentlessRestoreToVMObject'
extra="$(comm -23 <(printf '%s\n' "${actual}") <(printf '%s\n' "${allowed}"))"
if [[ -n "${extra}" ]]; then
  echo "unexpected exported symbols:" >&2
  printf '%s\n' "${extra}" >&2
  exit 1
fi
grep -qx CreateVSAgentlessRestoreToVMObject <<<"${actual}" || { echo "factory not exported" >&2; exit 1; }
echo "exports: ${actual//$'\n'/ }"
