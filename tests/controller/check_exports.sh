#!/usr/bin/env bash
# Usage: check_exports.sh PLUGIN.so
# Fails unless the plug-in's dynamic symbol table defines exactly the two exported factories.
set -euo pipefail
plugin="${1:?usage: check_exports.sh PLUGIN.so}"
actual="$(nm -D --defined-only "${plugin}" | awk '{print $3}' | sort)"
expected=$'CreateGuestAPIObject\nCreateVSAgentlessRestoreToVMObject'
if [[ "${actual}" != "${expected}" ]]; then
  echo "expected exactly: ${expected//$'\n'/ }; found: ${actual//$'\n'/ }" >&2
  exit 1
fi
echo "exports: ${actual//$'\n'/ }"
