#!/bin/bash
# Usage: check_manpage.sh ZQRESTORE MANPAGE [COMPLETION]
# Fails when an option that "zqrestore ... --help" lists is missing from the man page, or when the
# bash completion file does not offer zqrestore's command words and options.
set -euo pipefail
if [[ $# -lt 2 ]]; then
  echo "usage: $0 ZQRESTORE MANPAGE [COMPLETION]" >&2
  exit 2
fi
zqrestore=$1
manpage=$2
# The man page writes "-" as "\-".
text=$(sed 's/\\-/-/g' "${manpage}")
missing=0
for command in "" "restore" "plan" "guest" "guest browse" "guest mkdir" "guest put" "source" "source browse"; do
  # shellcheck disable=SC2086  # the command words are meant to split
  help=$(ZQ_SETTINGS=/dev/null "${zqrestore}" ${command} --help)
  while read -r option; do
    if ! grep -q -e "${option}\b" <<<"${text}"; then
      echo "the man page does not describe ${option} (zqrestore ${command} --help)" >&2
      missing=1
    fi
  done < <(grep -o -e '--[a-z][a-z-]*' <<<"${help}" | sort -u)
done
if [[ $# -ge 3 ]]; then
  offered=$(bash -c 'source "$1"; zq=$2
    COMP_WORDS=("$zq" res); COMP_CWORD=1; _zqrestore; echo "${COMPREPLY[*]}"
    COMP_WORDS=("$zq" restore --dr); COMP_CWORD=2; _zqrestore; echo "${COMPREPLY[*]}"
    COMP_WORDS=("$zq" guest --job j.json b); COMP_CWORD=4; _zqrestore; echo "${COMPREPLY[*]}"
    COMP_WORDS=("$zq" restore --overwrite a); COMP_CWORD=3; _zqrestore; echo "${COMPREPLY[*]}"' _ "$3" "${zqrestore}")
  if [[ ${offered} != $'restore\n--dry-run\nbrowse\nalways' ]]; then
    echo "the bash completion offers [${offered}]" >&2
    missing=1
  fi
fi
if [[ ${missing} -ne 0 ]]; then
  exit 1
fi
echo "every option of --help is in ${manpage}"
