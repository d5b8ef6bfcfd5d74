#!/bin/bash
# File operations in a Linux guest for the agentless restore. The proxy runs it in the guest as
#   bash -s -- OPTION PATH [ARGS...]
# with this script on standard input, so nothing below may read standard input: everything runs
# inside main, which is called with standard input from /dev/null once the whole script is read.
# Needs bash and GNU coreutils only.
#
# Browse lines (--browse_path, --list_dirs): NAME/SIZE/KIND/MTIME/ATIME/UID/GID/MODE, one line per
# entry. KIND is regular, directory, symlink or other; times are seconds since the epoch; MODE is
# the full st_mode in decimal. In NAME a backslash is written as \\ and a newline as \n, so that
# every entry stays on one line.
set -euo pipefail
export LC_ALL=C

readonly PROGRAM=zqvsa_agentless.sh
readonly STAT_BATCH=500

usage() {
  cat >&2 <<EOF
usage: $PROGRAM OPTION PATH [ARGS...]
  --browse_path PATH        entries of folder PATH, or the one line of file PATH
  --list_dirs PATH          sub-folders of folder PATH
  --create_dir PATH         create folder PATH with its missing parents
  --delete_dir PATH         remove folder PATH with its contents
  --change_file_attr PATH ATIME MTIME UID GID MODE
                            set times (seconds), owner, group and octal mode
  --create_parent_dir PATH  create the parent folder of file PATH
  --file_exists PATH        print whether PATH exists
EOF
}

fail() {
  printf '%s: %s\n' "$PROGRAM" "$*" >&2
  exit 1
}

quoted() {
  printf '%q' "$1"
}

require_tools() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null 2>&1 ||
      fail "the guest lacks the command '$tool' (GNU coreutils is needed)"
  done
}

require_gnu_stat() {
  require_tools stat
  stat --printf '' / >/dev/null 2>&1 ||
    fail "the guest's stat does not understand --printf (GNU coreutils is needed)"
}

require_args() {
  local expected=$1
  shift
  if (($# != expected)); then
    usage
    exit 2
  fi
}

is_present() {
  [[ -e $1 || -L $1 ]]
}

# Sets REPLY to the browse name of `name`: backslash and newline escaped.
escape_name() {
  local name=$1
  name=${name//\\/\\\\}
  name=${name//$'\n'/\\n}
  REPLY=$name
}

# Sets REPLY to the kind word for a file type as stat names it.
kind_word() {
  case $1 in
    "regular file" | "regular empty file") REPLY=regular ;;
    directory) REPLY=directory ;;
    "symbolic link") REPLY=symlink ;;
    *) REPLY=other ;;
  esac
}

# Prints one browse line per path (entries that vanish meanwhile are skipped). With only_dirs
# "yes" only folders are printed.
print_entries() {
  local only_dirs=$1
  shift
  (($# > 0)) || return 0
  local record path kind name i
  local -a fields
  while IFS= read -r -d '' record; do
    fields=()
    for ((i = 0; i < 7; i++)); do
      fields+=("${record%%/*}")
      record=${record#*/}
    done
    path=$record
    kind_word "${fields[1]}"
    kind=$REPLY
    if [[ $only_dirs == yes && $kind != directory ]]; then
      continue
    fi
    escape_name "${path##*/}"
    name=$REPLY
    printf '%s/%s/%s/%s/%s/%s/%s/%s\n' "$name" "${fields[0]}" "$kind" "${fields[2]}" \
      "${fields[3]}" "${fields[4]}" "${fields[5]}" "$((16#${fields[6]}))"
  done < <(stat --printf '%s/%F/%Y/%X/%u/%g/%f/%n\0' -- "$@" 2>/dev/null || true)
}

# Prints the entries of folder `dir`, in batches so that no argument list grows too long.
list_folder() {
  local dir=$1 only_dirs=$2
  [[ -r $dir && -x $dir ]] || fail "cannot read folder $(quoted "$dir")"
  local prefix=$dir
  [[ $prefix == */ ]] || prefix+=/
  local -a entries
  shopt -s nullglob dotglob
  entries=("$prefix"*)
  shopt -u nullglob dotglob
  local start
  for ((start = 0; start < ${#entries[@]}; start += STAT_BATCH)); do
    print_entries "$only_dirs" "${entries[@]:start:STAT_BATCH}"
  done
}

browse_path() {
  require_args 1 "$@"
  require_gnu_stat
  local path=$1
  if [[ -d $path ]]; then
    list_folder "$path" no
  elif is_present "$path"; then
    print_entries no "$path"
  fi
}

list_dirs() {
  require_args 1 "$@"
  require_gnu_stat
  local path=$1
  if [[ -d $path ]]; then
    list_folder "$path" yes
  fi
}

create_dir() {
  require_args 1 "$@"
  require_tools mkdir
  [[ -n $1 ]] || fail "empty folder path"
  mkdir -p -- "$1"
}

delete_dir() {
  require_args 1 "$@"
  require_tools rm
  local path=$1
  [[ -n $path ]] || fail "empty folder path"
  if [[ -L $path ]] || { [[ -e $path ]] && [[ ! -d $path ]]; }; then
    fail "not a folder: $(quoted "$path")"
  fi
  if [[ -d $path ]]; then
    rm -rf -- "$path"
  fi
}

# Applies every attribute it can and fails when any of them could not be set.
change_file_attr() {
  require_args 6 "$@"
  require_tools chown chmod touch
  local path=$1 atime=$2 mtime=$3 uid=$4 gid=$5 mode=$6
  [[ $atime =~ ^-?[0-9]+$ && $mtime =~ ^-?[0-9]+$ ]] || fail "times must be whole seconds"
  [[ $uid =~ ^[0-9]+$ && $gid =~ ^[0-9]+$ ]] || fail "user and group must be numeric ids"
  [[ $mode =~ ^[0-7]{1,4}$ ]] || fail "mode must be an octal number of at most four digits"
  is_present "$path" || fail "no such file: $(quoted "$path")"
  local status=0
  chown -h -- "+$uid:+$gid" "$path" || status=1
  if [[ ! -L $path ]]; then
    chmod -- "$mode" "$path" || status=1
  fi
  touch -h -c -a -d "@$atime" -- "$path" || status=1
  touch -h -c -m -d "@$mtime" -- "$path" || status=1
  return "$status"
}

create_parent_dir() {
  require_args 1 "$@"
  require_tools mkdir
  local path=$1 parent
  case $path in
    */*)
      parent=${path%/*}
      [[ -n $parent ]] || parent=/
      ;;
    *) parent=. ;;
  esac
  mkdir -p -- "$parent"
}

file_exists() {
  require_args 1 "$@"
  if is_present "$1"; then
    echo "File exists"
  else
    echo "File doesn't exist"
  fi
}

main() {
  if (($# < 1)); then
    usage
    exit 2
  fi
  local option=$1
  shift
  case $option in
    --browse_path) browse_path "$@" ;;
    --list_dirs) list_dirs "$@" ;;
    --create_dir) create_dir "$@" ;;
    --delete_dir) delete_dir "$@" ;;
    --change_file_attr) change_file_attr "$@" ;;
    --create_parent_dir) create_parent_dir "$@" ;;
    --file_exists) file_exists "$@" ;;
    -h | --help)
      usage
      exit 0
      ;;
    *)
      usage
      exit 2
      ;;
  esac
}

main "$@" </dev/null
exit
