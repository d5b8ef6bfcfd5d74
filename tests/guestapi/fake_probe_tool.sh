#!/usr/bin/env bash
# Usage: zqplink.exe ADDRESS -l USER command words...
# Plays the SSH client for channel-selection tests: records each call in $FAKE_PROBE_LOG and
# answers the operating-system probes as the guest named by $FAKE_GUEST_OS (windows or linux).
set -euo pipefail
address="${1:?usage: zqplink.exe ADDRESS -l USER command...}"
shift
printf '%s %s\n' "${address}" "$*" >>"${FAKE_PROBE_LOG:?}"
if [[ "${address}" != "${FAKE_GUEST_ADDRESS:-}" ]]; then
  echo "cannot connect to ${address}" >&2
  exit 1
fi
case "$*" in
  *systeminfo*)
    [[ "${FAKE_GUEST_OS:-}" == windows ]] || { echo "'cmd' is not a command" >&2; exit 1; }
    printf 'Host Name: GUEST\nOS Name: Microsoft Windows Server 2019 Standard\n'
    ;;
  *uname*)
    [[ "${FAKE_GUEST_OS:-}" == linux ]] || { echo "not a Linux guest" >&2; exit 1; }
    printf 'Linux guest 6.1.0 #1 SMP x86_64 GNU/Linux\n'
    ;;
  *)
    echo "unexpected command" >&2
    exit 1
    ;;
esac
