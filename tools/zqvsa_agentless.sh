#!/bin/bash
# File operations in a Linux guest for the agentless restore. The proxy runs it in the guest as
#   bash -s -- OPTION PATH [ARGS...]
# with this script on standard input, so nothing below may read standard input: everything runs
# inside main, which is called with standard input from /dev/null once the whole script is read.
# The one exception is --write_file, which zqpscp.exe runs as `bash -c SCRIPT NAME --write_file
# PATH SIZE MODE ATIME MTIME` with the file's content on standard input, followed by the proxy's
# end word (see END_WORD). Needs bash and GNU coreutils only.
#
# Links. A PATH may carry the marker "/./": what precedes it is the destination folder as the job
# names it (the operator's choice, links in it are followed; --create_dir creates it like
# mkdir -p); what follows is below the destination and is entered folder by folder without ever
# following a link: every name is examined with lstat, entered with cd, and the folder reached
# must have the device and inode that lstat saw. A PATH without the marker is below "/" (or
# below the login's home folder when it is relative) in the same strict way. Names "." and ".."
# are refused below the destination. A link where a folder should be fails the operation; a link
# at the final name is never written through nor changed.
#
# Browse lines (--browse_path, --list_dirs): NAME/SIZE/KIND/MTIME/ATIME/UID/GID/MODE, one line per
# entry. KIND is regular, directory, symlink or other; times are seconds since the epoch; MODE is
# the full st_mode in decimal. In NAME a backslash is written as \\ and a newline as \n, so that
# every entry stays on one line. A path that does not exist prints nothing and succeeds; a path
# that cannot be examined fails.
set -euo pipefail
export LC_ALL=C
unset CDPATH

readonly PROGRAM=zqvsa_agentless.sh
readonly STAT_BATCH=500
readonly MAX_ID=4294967294
# Most files one --sha256 request names (the proxy's IGuestReplaceChoices::kMaxHashBatch), and
# the longest backup suffix (ReplaceChoices::kMaxBackupSuffixBytes).
readonly MAX_HASH_BATCH=16
readonly MAX_SUFFIX=32
# The proxy's last word after the SIZE bytes of --write_file (GuestFileCopy::EndWord): "zq-end",
# the size and a line end. Only a copy followed by it is put in place; a copy cut off before it
# (the proxy killed, the connection lost) is removed.
readonly END_WORD_PREFIX='zq-end '
# Our own temporary files (write_file, keep_backup): a file of this pattern that the login owns,
# with one link, unchanged for longer than this many minutes is left from an interrupted write and
# is removed by the next write into its folder. ZQ_STALE_TEMPORARY_MINUTES in the guest's
# environment sets another age.
readonly TEMP_REGEX='^\.zqrestore-[0-9a-f]{18}\.(tmp|bak)$'
readonly STALE_MINUTES=${ZQ_STALE_TEMPORARY_MINUTES:-60}

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
  --sha256 PATH...          print the SHA-256 digest of each file PATH, or - for no file
  --write_file PATH SIZE MODE[:UID:GID] ATIME MTIME [SUFFIX]
                            replace file PATH by the SIZE bytes on standard input (then the end
                            word), completely or not at all, with octal MODE (permission bits
                            only), owner UID:GID when given, and times (seconds, or -); with
                            SUFFIX the old file is kept as PATH+SUFFIX
PATH may hold the marker /./ after the destination folder; links are followed only before it.
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

# ---- Walking without links ------------------------------------------------------------------

# Set by split_path: the operator's folder, the names below it, and the whole path for messages.
ANCHOR=
NAMES=()
WHOLE=

# Splits PATH at its first "/./" marker into ANCHOR and NAMES (the names below it, empty names
# dropped). Without the marker ANCHOR is "/" for an absolute PATH and "." otherwise.
split_path() {
  local path=$1 below name
  WHOLE=$path
  [[ -n $path ]] || fail "empty path"
  if [[ $path == */./* || $path == */. ]]; then
    ANCHOR=${path%%/./*}
    [[ $path == */./* ]] || ANCHOR=${path%/.}
    [[ -n $ANCHOR ]] || ANCHOR=/
    below=${path#"$ANCHOR"}
    below=${below#/.}
  elif [[ $path == /* ]]; then
    ANCHOR=/
    below=$path
  else
    ANCHOR=.
    below=$path
  fi
  NAMES=()
  # Split with parameter expansion only: no process is started for it.
  local rest=$below/
  while [[ -n $rest ]]; do
    name=${rest%%/*}
    rest=${rest#*/}
    case $name in
      '') ;;
      . | ..) fail "the path $(quoted "$path") holds the name '$name' below the destination" ;;
      *) NAMES+=("$name") ;;
    esac
  done
}

# The stat format of examine: type and mode in hex, device:inode, permissions in octal, owner,
# size, modification and access time.
readonly EXAMINE_FORMAT='%f %d:%i %a %u:%g %s %Y %X\n'
# Set by examine for an entry it found: its browse line without the name
# (SIZE/KIND/MTIME/ATIME/UID/GID/MODE).
EXAMINED_BROWSE=

# Sets REPLY to "TYPE DEVICE:INODE" of `name` in the current folder without following a link
# (TYPE: dir, file, link or other), or to "none" when nothing has that name.
examine() {
  local raw
  if ! raw=$(stat --printf "$EXAMINE_FORMAT" -- "./$1" 2>/dev/null); then
    examined none "$1"
    return
  fi
  examined "$raw" "$1"
}

# Sets REPLY (and EXAMINED_BROWSE) from one line `raw` of EXAMINE_FORMAT for
# `name`; "none" as raw: stat did not describe it, which is an error unless nothing has that name.
examined() {
  local raw=$1
  if [[ $raw == none ]]; then
    if [[ -e ./$2 || -L ./$2 ]]; then
      fail "cannot examine $(quoted "$2") in $(quoted "$PWD")"
    fi
    REPLY=none
    return
  fi
  [[ $raw =~ ^([0-9a-f]+)\ ([0-9]+:[0-9]+)\ ([0-7]+)\ (([0-9]+):([0-9]+))\ ([0-9]+)\ (-?[0-9]+)\ (-?[0-9]+)$ ]] ||
    fail "cannot examine $(quoted "$2") in $(quoted "$PWD")"
  local mode=$((16#${BASH_REMATCH[1]})) kind=other word=other
  # File types of st_mode, in octal: 04 folder, 010 regular file, 012 symbolic link.
  case $(((mode & 0170000) >> 12)) in
    4) kind=dir word=directory ;;
    8) kind=file word=regular ;;
    10) kind=link word=symlink ;;
  esac
  EXAMINED_BROWSE="${BASH_REMATCH[7]}/$word/${BASH_REMATCH[8]}/${BASH_REMATCH[9]}/${BASH_REMATCH[5]}/${BASH_REMATCH[6]}/$mode"
  REPLY="$kind ${BASH_REMATCH[2]}"
}

# A name examined ahead by enter_folder, in the same stat as the folder it entered (one process
# less per folder on the way): LOOKED_NAME and its examination LOOKED, valid while LOOKED_SET is
# "yes". look_at uses it once; every walk from the operator's folder forgets it.
LOOKED_SET=no
LOOKED_NAME=
LOOKED=

# Sets REPLY (and EXAMINED_BROWSE) as examine does for `name` in the current
# folder, from the look ahead when it is about that name.
look_at() {
  if [[ $LOOKED_SET == yes && $LOOKED_NAME == "$1" ]]; then
    LOOKED_SET=no
    examined "$LOOKED" "$1"
  else
    LOOKED_SET=no
    examine "$1"
  fi
}

# Enters the operator's folder; with "create" it is made first, links in it followed.
enter_anchor() {
  local create=$1
  LOOKED_SET=no
  if [[ $create == create && ! -d $ANCHOR ]]; then
    mkdir -p -- "$ANCHOR" || fail "cannot create folder $(quoted "$ANCHOR")"
  fi
  if ! cd -- "$ANCHOR" 2>/dev/null; then
    [[ ! -e $ANCHOR ]] || fail "cannot enter folder $(quoted "$ANCHOR")"
    return 1
  fi
}

# Enters folder `name` below the current folder without following a link. With "create" a
# missing folder is made. Returns 1 when the folder is missing (and not to be created); fails
# when a link or anything but a folder stands there, or when the folder changed while entering.
# With a third argument, that name is examined in the folder entered, by the same stat that checks
# the folder (see look_at).
enter_folder() {
  local name=$1 create=$2
  look_at "$name"
  if [[ $REPLY == none ]]; then
    [[ $create == create ]] || return 1
    mkdir -- "./$name" 2>/dev/null || [[ -d ./$name ]] ||
      fail "cannot create folder $(quoted "$name") in $(quoted "$PWD")"
    examine "$name"
  fi
  case ${REPLY%% *} in
    dir) ;;
    link) fail "a link stands where a folder should be: $(quoted "$PWD/$name"); links below the destination are not followed" ;;
    none) fail "folder $(quoted "$PWD/$name") vanished while it was entered" ;;
    *) fail "not a folder: $(quoted "$PWD/$name")" ;;
  esac
  local expected=${REPLY#* } raw
  cd -P -- "./$name" 2>/dev/null || fail "cannot enter folder $(quoted "$PWD/$name")"
  # The folder reached and, after it, the next name: stat describes those it can and fails when
  # one of them is missing, so its output is looked at line by line.
  if (($# > 2)); then
    raw=$(stat --printf "$EXAMINE_FORMAT" -- . "./$3" 2>/dev/null) || true
  else
    raw=$(stat --printf "$EXAMINE_FORMAT" -- . 2>/dev/null) || true
  fi
  [[ -n $raw ]] || fail "cannot examine folder $(quoted "$PWD")"
  examined "${raw%%$'\n'*}" .
  [[ $REPLY == "dir $expected" ]] ||
    fail "folder $(quoted "$name") was replaced while it was entered; nothing was changed in it"
  if (($# > 2)); then
    LOOKED=none
    [[ $raw != *$'\n'* ]] || LOOKED=${raw#*$'\n'}
    LOOKED_NAME=$3
    LOOKED_SET=yes
  fi
}

# Enters the folder that holds the last name of the split path. Returns 1 when a folder on the
# way is missing and `create` is not "create".
enter_parent() {
  local create=$1 i
  enter_anchor "$create" || return 1
  for ((i = 0; i + 1 < ${#NAMES[@]}; i++)); do
    enter_folder "${NAMES[i]}" "$create" "${NAMES[i + 1]}" || return 1
  done
}

# Enters the folder the whole split path names. Returns 1 when it or a folder on the way is
# missing and `create` is not "create".
enter_whole() {
  local create=$1 i
  enter_anchor "$create" || return 1
  for ((i = 0; i < ${#NAMES[@]}; i++)); do
    if ((i + 1 < ${#NAMES[@]})); then
      enter_folder "${NAMES[i]}" "$create" "${NAMES[i + 1]}" || return 1
    else
      enter_folder "${NAMES[i]}" "$create" || return 1
    fi
  done
}

last_name() {
  REPLY=${NAMES[${#NAMES[@]} - 1]}
}

# ---- Browsing ---------------------------------------------------------------------------------

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

# Prints one browse line per name in the current folder (entries that vanish meanwhile are
# skipped). With only_dirs "yes" only folders are printed. stat without -L never follows a link.
print_entries() {
  local only_dirs=$1
  shift
  (($# > 0)) || return 0
  local record path kind name i described=0
  local -a fields
  while IFS= read -r -d '' record; do
    described=1
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
    escape_name "${path#./}"
    name=$REPLY
    printf '%s/%s/%s/%s/%s/%s/%s/%s\n' "$name" "${fields[0]}" "$kind" "${fields[2]}" \
      "${fields[3]}" "${fields[4]}" "${fields[5]}" "$((16#${fields[6]}))"
  done < <(stat --printf '%s/%F/%Y/%X/%u/%g/%f/%n\0' -- "$@" 2>/dev/null || true)
  # Nothing described: every entry vanished meanwhile, or this stat cannot describe them, which
  # must fail rather than pass for an empty folder. Checked only then, to spare a process.
  ((described)) || require_gnu_stat
}

# Prints the entries of the current folder, in batches so that no argument list grows too long.
list_current_folder() {
  local only_dirs=$1
  [[ -r . && -x . ]] || fail "cannot read folder $(quoted "$WHOLE")"
  local -a entries
  shopt -s nullglob dotglob
  entries=(./*)
  shopt -u nullglob dotglob
  local start
  for ((start = 0; start < ${#entries[@]}; start += STAT_BATCH)); do
    print_entries "$only_dirs" "${entries[@]:start:STAT_BATCH}"
  done
}

# Lists folder PATH, or describes the one entry PATH names (a link as the link itself).
browse() {
  local only_dirs=$1 path=$2
  split_path "$path"
  if ((${#NAMES[@]} == 0)); then
    enter_anchor no || return 0
    list_current_folder "$only_dirs"
    return
  fi
  enter_parent no || return 0
  last_name
  local name=$REPLY
  look_at "$name"
  case ${REPLY%% *} in
    none) ;;
    dir)
      enter_folder "$name" no
      list_current_folder "$only_dirs"
      ;;
    *)
      # The one line of a file comes from its examination: no stat of its own.
      if [[ $only_dirs != yes ]]; then
        escape_name "$name"
        printf '%s/%s\n' "$REPLY" "$EXAMINED_BROWSE"
      fi
      ;;
  esac
}

browse_path() {
  require_args 1 "$@"
  require_tools stat
  browse no "$1"
}

list_dirs() {
  require_args 1 "$@"
  require_tools stat
  browse yes "$1"
}

# ---- Folders ------------------------------------------------------------------------------------

create_dir() {
  require_args 1 "$@"
  require_tools mkdir stat
  split_path "$1"
  enter_whole create
}

create_parent_dir() {
  require_args 1 "$@"
  require_tools mkdir stat
  split_path "$1"
  ((${#NAMES[@]} > 0)) || fail "no file name in $(quoted "$1")"
  enter_parent create
}

delete_dir() {
  require_args 1 "$@"
  require_tools rm stat
  split_path "$1"
  ((${#NAMES[@]} > 0)) || fail "refusing to delete the destination folder itself: $(quoted "$1")"
  enter_parent no || return 0
  last_name
  local name=$REPLY
  look_at "$name"
  case ${REPLY%% *} in
    none) ;;
    dir) rm -rf -- "./$name" ;;
    *) fail "not a folder: $(quoted "$1")" ;;
  esac
}

file_exists() {
  require_args 1 "$@"
  require_tools stat
  split_path "$1"
  if ((${#NAMES[@]} == 0)); then
    if enter_anchor no; then echo "File exists"; else echo "File doesn't exist"; fi
    return
  fi
  if ! enter_parent no; then
    echo "File doesn't exist"
    return
  fi
  last_name
  look_at "$REPLY"
  if [[ $REPLY == none ]]; then
    echo "File doesn't exist"
  else
    echo "File exists"
  fi
}

# ---- Digests ----------------------------------------------------------------------------------

# Prints the digest of the file PATH (the split path), or "-" when PATH holds no regular file.
# The file is examined without following a link, and what is read must be that very file: a link,
# a pipe or anything else swapped in meanwhile is never read, and never makes the digest wait.
sha256_one() {
  split_path "$1"
  if ((${#NAMES[@]} == 0)) || ! enter_parent no; then
    echo -
    return 0
  fi
  last_name
  local name=$REPLY
  look_at "$name"
  if [[ ${REPLY%% *} != file ]]; then
    echo -
    return 0
  fi
  local expected=${REPLY#* } fd reached sum before after
  # Read-write never blocks, even on a pipe swapped in meanwhile, and the descriptor must reach the
  # file examined before a byte is read.
  if { exec {fd}<>"./$name"; } 2>/dev/null; then
    reached=$(stat -L --printf '%F/%d:%i' "/dev/fd/$fd") || fail "cannot examine $(quoted "$WHOLE")"
    [[ $reached == "regular file/$expected" || $reached == "regular empty file/$expected" ]] ||
      fail "$(quoted "$WHOLE") was replaced while it was opened; it is not read"
    sum=$(sha256sum <&"$fd") || fail "cannot read $(quoted "$WHOLE")"
    exec {fd}<&-
  else
    # A file the login may only read: bash cannot open it without blocking, dd can (O_NONBLOCK,
    # O_NOFOLLOW), so a pipe swapped in gives at once what it holds or nothing. The same regular
    # file, with the same change time, before and after the read shows that what was read is the
    # file examined (moving it away and back changes its change time).
    before=$(stat --printf '%F|%d:%i|%z' -- "./$name") || fail "cannot examine $(quoted "$WHOLE")"
    [[ $before == "regular file|$expected|"* || $before == "regular empty file|$expected|"* ]] ||
      fail "$(quoted "$WHOLE") was replaced while it was opened; it is not read"
    sum=$(dd if="./$name" iflag=nonblock,nofollow bs=65536 status=none | sha256sum) ||
      fail "cannot read $(quoted "$WHOLE")"
    after=$(stat --printf '%F|%d:%i|%z' -- "./$name") || fail "cannot examine $(quoted "$WHOLE")"
    [[ $after == "$before" ]] || fail "$(quoted "$WHOLE") was replaced while it was read; no digest is given"
  fi
  [[ $sum =~ ^([0-9a-f]{64})\  ]] || fail "sha256sum gave no digest for $(quoted "$WHOLE")"
  printf '%s\n' "${BASH_REMATCH[1]}"
}

# One line per PATH, in order (see sha256_one); each walk starts afresh in a subshell of its own.
sha256() {
  if (($# < 1 || $# > MAX_HASH_BATCH)); then
    usage
    exit 2
  fi
  require_tools stat sha256sum dd
  local path
  for path in "$@"; do
    # A plain command, so that errexit holds inside it as well.
    (sha256_one "$path")
  done
}

# ---- Attributes ---------------------------------------------------------------------------------

# Opens `name` of the current folder on descriptor ENTRY_FD after checking, without following a
# link, that it is a file or folder, and checks that the descriptor reaches that very entry.
# Attributes are then changed through /dev/fd/ENTRY_FD, so a link swapped in meanwhile is never
# followed. ENTRY_NOW holds what the descriptor's entry has now: permissions (octal), owner
# (uid:gid), access and modification time (seconds with nanoseconds).
ENTRY_FD=
ENTRY_NOW=
open_entry() {
  local name=$1
  look_at "$name"
  case ${REPLY%% *} in
    file | dir) ;;
    none) fail "no such file: $(quoted "$WHOLE")" ;;
    link) fail "a link stands at $(quoted "$WHOLE"); attributes are not applied through links" ;;
    *) fail "neither a file nor a folder: $(quoted "$WHOLE")" ;;
  esac
  local expected=${REPLY#* } reached
  # Read-write first: it never blocks, even on a pipe swapped in meanwhile; read-only for
  # folders and files the login may only read.
  { exec {ENTRY_FD}<>"./$name"; } 2>/dev/null || { exec {ENTRY_FD}<"./$name"; } 2>/dev/null ||
    fail "cannot open $(quoted "$WHOLE")"
  reached=$(stat -L --printf '%d:%i %a %u:%g %.9X %.9Y' "/dev/fd/$ENTRY_FD") ||
    fail "cannot examine $(quoted "$WHOLE")"
  [[ ${reached%% *} == "$expected" ]] ||
    fail "$(quoted "$WHOLE") was replaced while it was opened; no attribute was changed"
  ENTRY_NOW=${reached#* }
}

# Applies every attribute it can and fails when any of them could not be set; for a login other
# than root an owner that cannot be set is reported on standard output instead of failing.
change_file_attr() {
  require_args 6 "$@"
  require_tools chown chmod touch stat id
  local path=$1 atime=$2 mtime=$3 uid=$4 gid=$5 mode=$6
  [[ $atime =~ ^-?[0-9]{1,19}$ && $mtime =~ ^-?[0-9]{1,19}$ ]] || fail "times must be whole seconds"
  if ! [[ $uid =~ ^[0-9]{1,10}$ && $gid =~ ^[0-9]{1,10}$ ]] || ((10#$uid > MAX_ID || 10#$gid > MAX_ID)); then
    fail "user and group must be numeric ids below 4294967295"
  fi
  [[ $mode =~ ^[0-7]{1,4}$ ]] || fail "mode must be an octal number of at most four digits"
  split_path "$path"
  ((${#NAMES[@]} > 0)) || enter_anchor no || fail "no such folder: $(quoted "$path")"
  if ((${#NAMES[@]} > 0)); then
    enter_parent no || fail "no such file: $(quoted "$path")"
    last_name
    open_entry "$REPLY"
  else
    open_entry .
  fi
  local entry=/dev/fd/$ENTRY_FD status=0
  # What the entry has already is not set again; anything stat shows in another form is set.
  local now_mode=unknown now_owner=unknown now_atime=unknown now_mtime=unknown
  if [[ $ENTRY_NOW =~ ^([0-7]+)\ ([0-9]+:[0-9]+)\ ([^ ]+)\ ([^ ]+)$ ]]; then
    now_mode=${BASH_REMATCH[1]}
    now_owner=${BASH_REMATCH[2]}
    now_atime=${BASH_REMATCH[3]}
    now_mtime=${BASH_REMATCH[4]}
  fi
  if [[ $now_owner == "$((10#$uid)):$((10#$gid))" ]]; then
    :
  elif ((EUID == 0)); then
    chown -- "+$((10#$uid)):+$((10#$gid))" "$entry" || status=1
    now_mode=unknown
  elif ! chown -- "+$((10#$uid)):+$((10#$gid))" "$entry" 2>/dev/null; then
    # Only root may give an entry away; mode and times are still applied, and the caller is told
    # on standard output that the owner stayed the login's.
    printf 'owner not set: login %s is not root\n' "$(id -un 2>/dev/null || printf '%s' "$EUID")"
  else
    now_mode=unknown
  fi
  # A change of owner may clear the set-user and set-group bits: the mode is set after it.
  if [[ $now_mode == unknown ]] || ((8#$now_mode != 8#$mode)); then
    chmod -- "$mode" "$entry" || status=1
  fi
  local set_atime=yes set_mtime=yes
  [[ $now_atime != "$atime.000000000" ]] || set_atime=no
  [[ $now_mtime != "$mtime.000000000" ]] || set_mtime=no
  if [[ $set_atime == yes && $set_mtime == yes && $atime == "$mtime" ]]; then
    touch -c -d "@$atime" -- "$entry" || status=1
  else
    if [[ $set_atime == yes ]]; then touch -c -a -d "@$atime" -- "$entry" || status=1; fi
    if [[ $set_mtime == yes ]]; then touch -c -m -d "@$mtime" -- "$entry" || status=1; fi
  fi
  exec {ENTRY_FD}>&-
  return "$status"
}

# ---- Writing a file -------------------------------------------------------------------------------

TEMP_NAME=
BACKUP_TEMP=
# shellcheck disable=SC2317 # run by the EXIT trap
remove_temp() {
  if [[ -n $TEMP_NAME ]]; then
    rm -f -- "./$TEMP_NAME" 2>/dev/null || true
  fi
  if [[ -n $BACKUP_TEMP ]]; then
    rm -f -- "./$BACKUP_TEMP" 2>/dev/null || true
  fi
}

# Fails unless the backup name `backup` in the current folder is free or holds a regular file:
# a link there is never followed nor replaced, nor is a folder or anything else.
check_backup_name() {
  look_at "$1"
  case ${REPLY%% *} in
    none | file) ;;
    link) fail "a link stands at the backup name $(quoted "$1"); it is not replaced and the file is not written" ;;
    *) fail "something other than a file stands at the backup name $(quoted "$1"); the file is not written" ;;
  esac
}

# Keeps the old file `name` (device:inode `identity`) as `backup`, just before the new file is
# renamed over it: a hard link under a temporary name, checked to be that very file, renamed over
# the backup name. A hard link is complete in one step and is the old file itself, with its owner,
# mode and times; no copy is made. rename never follows a link at the backup name.
keep_backup() {
  local name=$1 identity=$2 backup=$3 random=$4
  check_backup_name "$backup"
  BACKUP_TEMP=".zqrestore-$random.bak"
  ln -P -T -- "./$name" "./$BACKUP_TEMP" 2>/dev/null ||
    fail "cannot keep a backup of $(quoted "$name"); the old file is unchanged"
  examine "$BACKUP_TEMP"
  [[ $REPLY == "file $identity" ]] ||
    fail "$(quoted "$name") was replaced while its backup was made; the file is not written"
  mv -f -T -- "./$BACKUP_TEMP" "./$backup" ||
    fail "cannot move the backup of $(quoted "$name") to $(quoted "$backup"); the old file is unchanged"
  BACKUP_TEMP=
}

# Removes our own temporary files that an interrupted write left in the current folder: names of
# TEMP_REGEX only, each a regular file of the login with one link whose status has not changed for
# STALE_MINUTES (a write that runs now changes it). Examined without following a link, removed by
# name (which never follows one either), and each named on standard output.
remove_stale() {
  local -a found=()
  local entry now raw name
  shopt -s nullglob dotglob
  for entry in ./.zqrestore-*; do
    [[ ${entry#./} =~ $TEMP_REGEX ]] && found+=("$entry")
  done
  shopt -u nullglob dotglob
  ((${#found[@]} > 0)) || return 0
  [[ $STALE_MINUTES =~ ^[0-9]{1,9}$ ]] || return 0
  printf -v now '%(%s)T' -1
  while IFS= read -r raw; do
    # Type and mode in hex, links, owner, change time, name.
    [[ $raw =~ ^([0-9a-f]+)\ 1\ ([0-9]+)\ ([0-9]+)\ \./(.*)$ ]] || continue
    name=${BASH_REMATCH[4]}
    (((16#${BASH_REMATCH[1]} & 0170000) == 0100000 && BASH_REMATCH[2] == EUID)) || continue
    ((BASH_REMATCH[3] + STALE_MINUTES * 60 <= now)) || continue
    if rm -f -- "./$name" 2>/dev/null; then
      printf 'removed stale temporary file %s of an interrupted restore\n' "$(quoted "$PWD/$name")"
    fi
  done < <(stat --printf '%f %h %u %Z %n\n' -- "${found[@]}" 2>/dev/null || true)
}

# Replaces file PATH by exactly SIZE bytes read from standard input: they go to a new file with
# an unpredictable name in the final folder, created exclusively (so nothing that appears under
# that name is ever written through) and readable by the login only. Only once every byte arrived
# and the proxy's end word followed them, the new file gets the owner UID:GID when given (and the
# login may give it), MODE (permission bits only: set-user, set-group and sticky bits come with the
# attributes, from --change_file_attr) and the times, through its descriptor, and is renamed over
# PATH. It never gets the old file's owner: without UID:GID it is the login's until the attributes
# follow. A link at PATH is replaced, not written
# through; a folder at PATH is refused. On any failure the new file is removed and PATH stays as
# it was. Stale temporary files of ours in the folder are removed first (remove_stale).
#
# With SUFFIX a replaced regular file is kept as PATH+SUFFIX (see keep_backup); a link or
# anything but a regular file at that name fails the write before PATH is touched.
write_file() {
  if (($# != 5 && $# != 6)); then
    usage
    exit 2
  fi
  require_tools stat mv rm od head tr chmod chown touch
  local path=$1 size=$2 mode=$3 atime=$4 mtime=$5 suffix=${6-} owner=
  [[ $size =~ ^[0-9]{1,19}$ ]] || fail "size must be a number of bytes"
  if [[ $mode =~ ^([0-7]{1,4}):([0-9]{1,10}):([0-9]{1,10})$ ]]; then
    ((BASH_REMATCH[2] <= 4294967294 && BASH_REMATCH[3] <= 4294967294)) || fail "the owner must be UID:GID"
    mode=${BASH_REMATCH[1]} owner=$((10#${BASH_REMATCH[2]})):$((10#${BASH_REMATCH[3]}))
  fi
  [[ $mode =~ ^[0-7]{1,4}$ ]] || fail "mode must be an octal number of at most four digits"
  [[ $atime =~ ^(-|-?[0-9]{1,19})$ && $mtime =~ ^(-|-?[0-9]{1,19})$ ]] || fail "times must be whole seconds or -"
  if (($# == 6)); then
    [[ -n $suffix && ${#suffix} -le MAX_SUFFIX && $suffix != *[/\\]* && $suffix != . && $suffix != .. &&
      $suffix != *[[:cntrl:]]* ]] || fail "the backup suffix $(quoted "$suffix") is refused"
  fi
  split_path "$path"
  ((${#NAMES[@]} > 0)) || fail "no file name in $(quoted "$path")"
  enter_parent no || fail "the folder of $(quoted "$path") does not exist"
  remove_stale
  last_name
  local name=$REPLY
  look_at "$name"
  local old_kind=${REPLY%% *}
  case $old_kind in
    none | file | link) ;;
    dir) fail "a folder stands at $(quoted "$path"); it is not replaced by a file" ;;
    *) fail "neither a file nor a link stands at $(quoted "$path"); it is not replaced" ;;
  esac
  local saved_umask old_identity=${REPLY#* }
  saved_umask=$(umask)
  if [[ -n $suffix && $old_kind == file ]]; then
    check_backup_name "$name$suffix"
  fi

  local random
  if ((BASH_VERSINFO[0] > 5 || (BASH_VERSINFO[0] == 5 && BASH_VERSINFO[1] >= 1))); then
    # The kernel's random source through bash itself: no process to start.
    printf -v random '%08x%08x%02x' "$SRANDOM" "$SRANDOM" "$((SRANDOM & 255))"
  else
    random=$(head -c 9 /dev/urandom | od -An -tx1 | tr -d ' \n') || fail "cannot read /dev/urandom"
  fi
  [[ ${#random} == 18 ]] || fail "cannot read /dev/urandom"
  TEMP_NAME=".zqrestore-$random.tmp"
  trap remove_temp EXIT
  trap 'exit 1' HUP INT TERM PIPE
  # Created and opened in one step, exclusively (noclobber), readable by the login only until
  # every byte is in.
  local out
  umask 077
  set -o noclobber
  if ! { exec {out}>"./$TEMP_NAME"; } 2>/dev/null; then
    TEMP_NAME=
    # The most common cause, in the words the system uses for it.
    [[ -w . ]] || fail "cannot create a new file in the folder of $(quoted "$path"): Permission denied"
    fail "cannot create a new file in the folder of $(quoted "$path")"
  fi
  set +o noclobber
  umask "$saved_umask"
  local created
  created=$(stat -L --printf '%F/%h/%a/%d:%i' "/dev/fd/$out") ||
    fail "cannot examine the new file for $(quoted "$path")"
  [[ ${created%%/*} == "regular empty file" && $created == */1/600/* ]] ||
    fail "the new file for $(quoted "$path") is not a fresh file of the login alone; nothing was written"
  local identity=${created##*/}

  # Exactly SIZE bytes (head reads no further), then the end word and nothing after it.
  head -c "$size" >&"$out" || fail "writing $(quoted "$path") failed; the old file is unchanged"
  local written end
  written=$(stat -L --printf '%s' "/dev/fd/$out") || fail "cannot examine the new file for $(quoted "$path")"
  [[ $written == "$size" ]] ||
    fail "received $written of $size bytes for $(quoted "$path"); the old file is unchanged"
  IFS= read -r -N $((${#END_WORD_PREFIX} + ${#size} + 1)) end || true
  if [[ $end != "$END_WORD_PREFIX$size"$'\n' ]] || IFS= read -r -N 1 _; then
    fail "the copy of $(quoted "$path") ended before the proxy confirmed it complete; the old file is unchanged"
  fi
  # The backup's owner (when given and the login may give it), mode and times, through the
  # descriptor, while no one else can open the file; the owner first, as it clears set-id bits.
  if [[ -n $owner ]]; then
    chown -- "$owner" "/dev/fd/$out" 2>/dev/null || true
  fi
  local permissions
  printf -v permissions '%o' $((8#$mode & 8#777))
  chmod -- "$permissions" "/dev/fd/$out" ||
    fail "cannot set the mode of the new file for $(quoted "$path")"
  if [[ $atime != - && $atime == "$mtime" ]]; then
    touch -c -d "@$atime" -- "/dev/fd/$out" || fail "cannot set the times of the new file for $(quoted "$path")"
  else
    if [[ $mtime != - ]]; then touch -c -m -d "@$mtime" -- "/dev/fd/$out" || fail "cannot set the times of the new file for $(quoted "$path")"; fi
    if [[ $atime != - ]]; then touch -c -a -d "@$atime" -- "/dev/fd/$out" || fail "cannot set the times of the new file for $(quoted "$path")"; fi
  fi
  # Every byte reaches the disk before the name moves. When the disk says it lost some (an input or
  # output error, no space, no quota left), the old file stays; any other complaint comes from a
  # sync too old to sync one file, and the write goes on as the system's own writes do.
  local synced
  if ! synced=$(sync -- "/dev/fd/$out" 2>&1); then
    case ${synced##*: } in
      "Input/output error" | "No space left on device" | "Disk quota exceeded")
        fail "cannot write $(quoted "$path") to the disk: ${synced##*: }; the old file is unchanged" ;;
    esac
  fi
  exec {out}>&-
  if [[ -n $suffix && $old_kind == file ]]; then
    keep_backup "$name" "$old_identity" "$name$suffix" "$random"
  fi
  mv -f -T -- "./$TEMP_NAME" "./$name" ||
    fail "cannot move the new file to $(quoted "$path"); the old file is unchanged"
  TEMP_NAME=
  examine "$name"
  [[ $REPLY == "file $identity" ]] ||
    fail "$(quoted "$path") was replaced by something else while it was written"
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
    --sha256) sha256 "$@" ;;
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

if [[ ${1-} == --write_file ]]; then
  shift
  write_file "$@"
else
  main "$@" </dev/null
fi
exit
