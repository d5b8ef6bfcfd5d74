#!/bin/bash
# Usage: check_manpage.sh ZQRESTORE MANPAGE
# Fails when an option that "zqrestore ... --help" lists is missing from the man page.
set -euo pipefail
if [[ $# -ne 2 ]]; then
  echo "usage: $0 ZQRESTORE MANPAGE" >&2
  exit 2
fi
zqrestore=$1
manpage=$2
# The man page writes "-" as "\-".
text=$(sed 's/\\-/-/g' "${manpage}")
missing=0
for command in "" "restore" "guest" "guest browse" "guest mkdir" "guest put" "source" "source browse"; do
  # shellcheck disable=SC2086  # the command words are meant to split
  help=$(ZQ_SETTINGS=/dev/null "${zqrestore}" ${command} --help)
  while read -r option; do
    if ! grep -q -e "${option}\b" <<<"${text}"; then
      echo "the man page does not describe ${option} (zqrestore ${command} --help)" >&2
      missing=1
    fi
  done < <(grep -o -e '--[a-z][a-z-]*' <<<"${help}" | sort -u)
done
if [[ ${missing} -ne 0 ]]; then
  exit 1
fi
echo "every option of --help is in ${manpage}"
