#!/bin/bash
# The one guest program the KVM back-end starts per guest operation, through the QEMU guest agent:
#   bash -c PROGRAM zqrestore-agent OPERATION ARGS... NAME...
# NAME... are the names of an absolute guest path, split by the component ("/" joins them). The
# program runs as the agent's account (root). Needs bash and GNU coreutils and findutils.
#
# Names on the way. Every folder is entered from "/" one by one: its name is examined without
# following a link (stat), entered with cd, and the folder reached must have the device and inode
# that stat saw, so a folder swapped meanwhile is never used. A link on the way is followed only
# when root owns it (a system's own link such as /bin -> usr/bin, or one an administrator made);
# any other link, or anything that is not a folder, fails the operation and names the place.
# Everything after the walk uses names of the current folder only: no other link can be followed.
#
# Exit status: 0 done; 3 refused (a link, a folder or an existing entry where the operation may
# not act; the message says which); 1 any other failure. One line on standard error says why.
set -euo pipefail
export LC_ALL=C
unset CDPATH
umask 077

readonly REFUSED=3

SHOWN=/     # the path walked so far, as the component named it (for messages)
KIND=none   # what kind_here found
TEMP_NAME=  # the temporary file of a write, removed on exit unless it was moved into place
BACKUP_TEMP=  # the temporary name of a backup, removed on exit unless it was renamed into place
STAGED=     # the private folder whose content a write consumes, removed on exit

fail() {
  printf '%s\n' "$1" >&2
  exit 1
}
refuse() {
  printf '%s\n' "$1" >&2
  exit "$REFUSED"
}
shown() {
  if [[ $SHOWN == / ]]; then REPLY=/$1; else REPLY=$SHOWN/$1; fi
}

# shellcheck disable=SC2317 # run by the EXIT trap
clean_up() {
  if [[ -n $TEMP_NAME ]]; then rm -f -- "./$TEMP_NAME" 2>/dev/null || true; fi
  if [[ -n $BACKUP_TEMP ]]; then rm -f -- "./$BACKUP_TEMP" 2>/dev/null || true; fi
  if [[ -n $STAGED ]]; then rm -rf -- "$STAGED" 2>/dev/null || true; fi
}
trap clean_up EXIT
trap 'exit 1' HUP INT TERM PIPE

# Sets REPLY to dir, file, link or other for a raw mode in hex.
kind_of() {
  case $(((16#$1 & 0170000) >> 12)) in
    4) REPLY="dir" ;;
    8) REPLY="file" ;;
    10) REPLY="link" ;;
    *) REPLY="other" ;;
  esac
}

# Sets KIND to dir, file, link, other or none for `name` in the current folder, with bash's own
# tests (no process to start): -L does not follow a link, and a link that appears between the tests
# is caught where it matters (enter, and the rename that puts a file in place).
kind_here() {
  if [[ -L ./$1 ]]; then
    KIND="link"
  elif [[ -d ./$1 ]]; then
    KIND="dir"
  elif [[ -f ./$1 ]]; then
    KIND="file"
  elif [[ -e ./$1 ]]; then
    KIND="other"
  else
    KIND="none"
  fi
}

# Enters folder `name` of the current folder; with create "yes" a missing one is made with plain
# mkdir (an entry that appears meanwhile fails it). The folder reached must be the very folder that
# bears the name in the folder left, held open meanwhile, and the name must be no link: a folder
# swapped for a link while it was entered is never used.
enter() {
  local name=$1 create=$2 owner from
  shown "$name"
  local path=$REPLY
  kind_here "$name"
  if [[ $KIND == none ]]; then
    [[ $create == yes ]] || fail "Guest folder [$path] does not exist"
    umask 022
    mkdir -- "./$name" 2>/dev/null || fail "Guest folder [$path] cannot be created"
    umask 077
    kind_here "$name"
  fi
  exec {from}<. || fail "Guest folder [$SHOWN] cannot be opened"
  case $KIND in
    dir)
      cd -P -- "./$name" 2>/dev/null || fail "Guest folder [$path] cannot be entered"
      [[ . -ef /proc/self/fd/$from/$name && ! -L /proc/self/fd/$from/$name ]] ||
        fail "Guest folder [$path] was replaced while it was entered; nothing was changed in it"
      ;;
    link)
      owner=$(stat --printf '%u' -- "./$name" 2>/dev/null) || fail "Guest path [$path] cannot be examined"
      [[ $owner == 0 ]] ||
        refuse "Guest path [$path] is a link owned by user $owner; links below the destination are not followed"
      [[ -d ./$name ]] || refuse "Guest path [$path] is a link to no folder"
      cd -- "./$name" 2>/dev/null || fail "Guest folder [$path] cannot be entered"
      [[ . -ef /proc/self/fd/$from/$name ]] ||
        fail "Guest folder [$path] was replaced while it was entered; nothing was changed in it"
      ;;
    *) refuse "Guest path [$path] is not a folder" ;;
  esac
  exec {from}<&-
  SHOWN=$path
}

# Enters "/" and then every folder named, creating missing ones with create "yes".
walk() {
  local create=$1 name
  shift
  cd / || fail "The guest's root folder cannot be entered"
  SHOWN=/
  for name; do enter "$name" "$create"; done
}

# remove_stale MINUTES FORMAT: removes temporary files of earlier restores from the current
# folder (root's, one link, unchanged for more than MINUTES) and prints each in find's FORMAT. The
# glob is bash's own, so a folder without such names costs no process.
remove_stale() {
  if compgen -G './.zqrestore-*.part' >/dev/null; then
    find . -mindepth 1 -maxdepth 1 -name '.zqrestore-*.part' -type f -user 0 -links 1 -cmin "+$1" \
      -printf "$2" -delete 2>/dev/null || true
  fi
}

# ---- Listing -------------------------------------------------------------------------------------

# list FORMAT FOLDERS_ONLY LIMIT STALE PAGE_FILE NAME...: the entries of the folder, or the one
# entry of a file or link, in find's FORMAT (links described themselves, never their targets). At
# most LIMIT bytes are printed; with PAGE_FILE other than "-" the whole listing goes to that file
# instead (in the component's private folder), for a folder whose listing is larger. Temporary
# files of earlier restores in the folder (root's, one link, unchanged for more than STALE minutes)
# are removed, each reported as a record of type "R". The single name "/" lists the root folder
# itself as one entry.
list() {
  local format=$1 folders_only=$2 limit=$3 stale=$4 page=$5
  shift 5
  [[ $stale =~ ^[0-9]{1,9}$ ]] || fail "Bad arguments for a listing"
  local -a find_args
  if (($# == 0)); then
    cd /
    find_args=(. -mindepth 1 -maxdepth 1 -printf "$format")
  elif [[ $1 == / ]]; then
    # The root folder itself, as one entry "/".
    cd /
    find_args=(/ -maxdepth 0 -printf "$format")
  else
    local last=${!#}
    walk no "${@:1:$#-1}"
    shown "$last"
    local path=$REPLY
    kind_here "$last"
    [[ $KIND != none ]] || fail "Guest path [$path] does not exist"
    if [[ $KIND == dir ]] ||
      { [[ $KIND == link && -d ./$last ]] && [[ $(stat --printf '%u' -- "./$last" 2>/dev/null) == 0 ]]; }; then
      enter "$last" no
      # Stale temporary files first, reported whole before the listing (which may be cut).
      remove_stale "$stale" "R${format#%y}"
      find_args=(. -mindepth 1 -maxdepth 1 -printf "$format")
    else
      [[ $folders_only == no ]] || return 0
      find_args=("./$last" -maxdepth 0 -printf "$format")
    fi
  fi
  if [[ $page != - ]]; then
    find "${find_args[@]}" >"$page" || fail "Guest folder [$SHOWN] cannot be listed"
    return 0
  fi
  set +o pipefail +e
  find "${find_args[@]}" | head -c "$limit"
  local -a status=("${PIPESTATUS[@]}")
  set -o pipefail -e
  ((status[1] == 0)) || fail "The listing of guest folder [$SHOWN] cannot be passed on"
  # find ends by SIGPIPE when the listing is longer than the limit; the component then pages it.
  ((status[0] == 0 || status[0] == 141)) || fail "Guest folder [$SHOWN] cannot be listed"
}

# ---- Folders -------------------------------------------------------------------------------------

# mkdir NAME...: the folder exists afterwards, missing parents made one by one.
make_folder() {
  walk yes "$@"
}

# rmdir NAME...: removes the folder and everything in it (links inside removed, never followed).
remove_folder() {
  (($# > 0)) || refuse "The guest's root folder is never removed"
  local last=${!#}
  walk no "${@:1:$#-1}"
  shown "$last"
  local path=$REPLY
  kind_here "$last"
  [[ $KIND != none ]] || return 0
  [[ $KIND == dir ]] || refuse "Guest path [$path] is not a folder"
  rm -rf --one-file-system -- "./$last" || fail "Guest folder [$path] cannot be removed"
}

# ---- Private folders -----------------------------------------------------------------------------

# stage BASE...: makes a fresh folder that only root can enter, in the first BASE whose every
# folder belongs to root and cannot be written by others (a sticky folder such as /var/tmp may be:
# no user can rename or remove root's entries in it), and prints its path. Stale folders of ours
# there (untouched for a day) are removed first.
stage() {
  local base folder owner mode
  for base; do
    [[ $base == /* && -d $base ]] || continue
    local ok=yes probe=$base
    while :; do
      read -r owner mode <<<"$(stat -L --printf '%u %a\n' -- "$probe" 2>/dev/null || echo x 0)"
      if [[ $owner != 0 ]] || { ((8#$mode & 022)) && ! ((8#$mode & 01000)); }; then
        ok=no
        break
      fi
      [[ $probe != / ]] || break
      probe=${probe%/*}
      probe=${probe:-/}
    done
    [[ $ok == yes ]] || continue
    find "$base" -mindepth 1 -maxdepth 1 -name '.zqrestore-*' -type d -user 0 -mmin +1440 \
      -exec rm -rf --one-file-system -- '{}' + 2>/dev/null || true
    folder=$(mktemp -d -p "$base" .zqrestore-XXXXXXXXXXXX) || continue
    printf '%s\n' "$folder"
    return 0
  done
  fail "No private folder can be made in the guest (tried: $*)"
}

# unstage FOLDER: removes a private folder of stage.
unstage() {
  [[ $1 == /*/.zqrestore-* ]] || refuse "Not a private folder of ours: [$1]"
  rm -rf --one-file-system -- "$1"
}

# ---- Writing a file ------------------------------------------------------------------------------

# keep_backup NAME SUFFIX RANDOM: keeps the regular file NAME of the current folder (nothing for a
# link or anything else) as NAME+SUFFIX: a hard link to it is made under a temporary name, checked
# to reach the very file examined (device and inode), and renamed over NAME+SUFFIX, so the backup
# is the old file itself, owner, mode and times included, complete in one step. A link, a folder
# or anything but a regular file at NAME+SUFFIX refuses it, as does a hard link the file system
# will not make; the temporary name never stays.
keep_backup() {
  local last=$1 suffix=$2 examined kind id owner
  examined=$(stat --printf '%f %d:%i %u' -- "./$last" 2>/dev/null) || return 0
  read -r kind id owner <<<"$examined"
  kind_of "$kind"
  [[ $REPLY == file && ! -L ./$last ]] || return 0
  shown "$last"
  local path=$REPLY
  shown "$last$suffix"
  local backup=$REPLY
  kind_here "$last$suffix"
  case $KIND in
    none | file) ;;
    link) refuse "Backup name [$backup] is a link; it is neither followed nor replaced, and [$path] is left as it is" ;;
    dir) refuse "Backup name [$backup] is a folder; it is not replaced, and [$path] is left as it is" ;;
    *) refuse "Backup name [$backup] is neither a file nor a link; it is not replaced, and [$path] is left as it is" ;;
  esac
  BACKUP_TEMP=.zqrestore-$3b.part
  ln -P -T -- "./$last" "./$BACKUP_TEMP" 2>/dev/null || {
    BACKUP_TEMP=
    refuse "Guest file [$path] cannot be kept as [$backup] (no hard link can be made there); it is left as it is"
  }
  [[ $(stat --printf '%f %d:%i' -- "./$BACKUP_TEMP" 2>/dev/null) == "$kind $id" ]] ||
    fail "Guest file [$path] was replaced while its backup was made; it is left as it is"
  mv -f -T -- "./$BACKUP_TEMP" "./$last$suffix" 2>/dev/null || fail "Backup [$backup] cannot be put in place"
  BACKUP_TEMP=
  [[ $(stat --printf '%d:%i' -- "./$last$suffix" 2>/dev/null) == "$id" ]] ||
    fail "Backup [$backup] was replaced by something else while it was put in place"
}

# put OVERWRITE MODE ATIME MTIME SIZE SOURCE STALE BACKUP NAME...: the file NAME... gets exactly SIZE bytes from
# standard input (SOURCE "-") or from the file "content" of SOURCE, a private folder of stage that
# is removed afterwards. The bytes go to a new file with an unpredictable name in the final folder,
# created exclusively and readable by root only; mode (octal) and times (seconds; "-" leaves them)
# are set through its descriptor; it is then renamed over the name (OVERWRITE "yes": whatever
# stands there, a link included, is replaced, never written through) or linked in under the name
# (OVERWRITE "no": anything there fails it, a link named as such). Missing folders are made. On any
# failure the new file is removed and the name is as it was. Stale temporary files of earlier
# restores in the folder are removed as a listing removes them (STALE minutes); their names are
# printed, each followed by a NUL. BACKUP is "-" for none or "+" and a suffix: a regular file the
# rename replaces is first kept as NAME+suffix (keep_backup); if it cannot be, nothing is renamed.
put() {
  local overwrite=$1 mode=$2 atime=$3 mtime=$4 size=$5 source=$6 stale=$7 backup=$8
  shift 8
  [[ $mode =~ ^[0-7]{1,5}$ && $size =~ ^[0-9]{1,19}$ && $stale =~ ^[0-9]{1,9}$ ]] || fail "Bad arguments for a write"
  [[ $backup == - || ( $backup == +?* && $backup != */* ) ]] || fail "Bad arguments for a write"
  [[ $source == - ]] || STAGED=$source
  (($# > 0)) || refuse "No file name"
  local last=${!#}
  walk yes "${@:1:$#-1}"
  remove_stale "$stale" '%f\0'
  shown "$last"
  local path=$REPLY
  kind_here "$last"
  case $KIND in
    none) ;;
    dir) refuse "Guest path [$path] is a folder; a file cannot replace it" ;;
    link) [[ $overwrite == yes ]] || refuse "Guest path [$path] is a link; it is not replaced without overwrite" ;;
    file) [[ $overwrite == yes ]] || refuse "Guest path [$path] already exists and is left as it is" ;;
    *) refuse "Guest path [$path] is neither a file nor a link; it is not replaced" ;;
  esac

  local random out
  if ((BASH_VERSINFO[0] > 5 || (BASH_VERSINFO[0] == 5 && BASH_VERSINFO[1] >= 1))); then
    printf -v random '%08x%08x%04x' "$SRANDOM" "$SRANDOM" "$((SRANDOM & 65535))"
  else
    random=$(head -c 10 /dev/urandom | od -An -tx1 | tr -d ' \n') || fail "The guest's /dev/urandom cannot be read"
  fi
  [[ ${#random} == 20 ]] || fail "The guest's random source answered in an unknown form"
  # Created and opened in one step: noclobber opens a name that does not exist with O_EXCL, and the
  # name is unpredictable. The checks below make sure it is a fresh file all the same.
  TEMP_NAME=.zqrestore-$random.part
  set -o noclobber
  { exec {out}>"./$TEMP_NAME"; } 2>/dev/null || {
    TEMP_NAME=
    fail "No new file can be made in guest folder [$SHOWN]"
  }
  set +o noclobber
  if [[ $source == - ]]; then
    cat >&"$out" || fail "Guest file [$path] cannot be written"
  else
    cat -- "$source/content" >&"$out" || fail "Guest file [$path] cannot be written"
  fi
  local made
  made=$(stat -L --printf '%F/%h/%u/%s' -- "/proc/self/fd/$out") || fail "The new file for [$path] cannot be examined"
  [[ $made == "regular file/1/0/"* || $made == "regular empty file/1/0/"* ]] ||
    fail "The new file for [$path] is not a fresh file of root; nothing was written"
  [[ ${made##*/} == "$size" ]] || fail "Guest file [$path] received ${made##*/} of $size bytes"
  chmod -- "$mode" "/proc/self/fd/$out" || fail "Guest file [$path] cannot get its mode"
  if [[ $atime != - && $atime == "$mtime" ]]; then
    touch -c -d "@$atime" -- "/proc/self/fd/$out" || fail "Guest file [$path] cannot get its times"
  else
    if [[ $mtime != - ]]; then touch -c -m -d "@$mtime" -- "/proc/self/fd/$out" || fail "Guest file [$path] cannot get its times"; fi
    if [[ $atime != - ]]; then touch -c -a -d "@$atime" -- "/proc/self/fd/$out" || fail "Guest file [$path] cannot get its times"; fi
  fi
  if [[ $overwrite == yes ]]; then
    if [[ $backup != - ]]; then keep_backup "$last" "${backup#+}" "$random"; fi
    mv -f -T -- "./$TEMP_NAME" "./$last" 2>/dev/null || fail "Guest file [$path] cannot be put in place"
    TEMP_NAME=
  else
    ln -T -- "./$TEMP_NAME" "./$last" 2>/dev/null || refuse "Guest path [$path] appeared meanwhile and is left as it is"
  fi
  # What now bears the name must be the file still open here (a temporary file swapped meanwhile
  # would have been moved instead).
  [[ ./$last -ef /proc/self/fd/$out && ! -L ./$last ]] ||
    fail "Guest file [$path] was replaced by something else while it was put in place"
  exec {out}>&-
}

# ---- Attributes ----------------------------------------------------------------------------------

# attr UID GID MODE ATIME MTIME NAME...: sets what is not "-" on the file or folder, through a
# descriptor that is checked to reach the entry examined; never through a link.
attr() {
  local uid=$1 gid=$2 mode=$3 atime=$4 mtime=$5
  shift 5
  local last=. path=/ examined
  if (($# > 0)); then
    last=${!#}
    walk no "${@:1:$#-1}"
    shown "$last"
    path=$REPLY
  else
    walk no
  fi
  # Type (raw mode in hex), device:inode and owner, without following a link.
  examined=$(stat --printf '%f %d:%i %u' -- "./$last" 2>/dev/null) || fail "Guest path [$path] does not exist"
  local kind id owner fd
  read -r kind id owner <<<"$examined"
  kind_of "$kind"
  case $REPLY in
    file | dir) ;;
    link) refuse "Guest path [$path] is a link; attributes are never applied through a link" ;;
    *) refuse "Guest path [$path] is neither a file nor a folder" ;;
  esac
  # Read-write first: it never blocks, not even on a pipe swapped in meanwhile. The test just before
  # the open leaves a link no time to appear between them; the device and inode tell anything else.
  [[ ! -L ./$last ]] || refuse "Guest path [$path] is a link; attributes are never applied through a link"
  { exec {fd}<>"./$last"; } 2>/dev/null || { exec {fd}<"./$last"; } 2>/dev/null || fail "Guest path [$path] cannot be opened"
  local reached
  reached=$(stat -L --printf '%d:%i' -- "/proc/self/fd/$fd") || fail "Guest path [$path] cannot be examined"
  [[ $reached == "$id" ]] || fail "Guest path [$path] was replaced while it was opened; no attribute was changed"
  local entry=/proc/self/fd/$fd
  if [[ $uid != - ]]; then chown -- "+$uid:+$gid" "$entry" || fail "Attributes of guest path [$path] cannot be set (owner)"; fi
  # After chown, which clears set-id bits; five digits clear those of a folder too.
  if [[ $mode != - ]]; then chmod -- "$mode" "$entry" || fail "Attributes of guest path [$path] cannot be set (mode)"; fi
  if [[ $atime != - && $atime == "$mtime" ]]; then
    touch -c -d "@$atime" -- "$entry" || fail "Attributes of guest path [$path] cannot be set (times)"
  else
    if [[ $mtime != - ]]; then touch -c -m -d "@$mtime" -- "$entry" || fail "Attributes of guest path [$path] cannot be set (modification time)"; fi
    if [[ $atime != - ]]; then touch -c -a -d "@$atime" -- "$entry" || fail "Attributes of guest path [$path] cannot be set (access time)"; fi
  fi
  exec {fd}>&-
}

# sha256 NAME...: prints the SHA-256 of the regular file NAME... as 64 hexadecimal digits, or "-"
# when the name holds no regular file (nothing, a link, a folder or anything else). What is read must
# be the file examined: a link is never read through, and a pipe swapped in never makes it wait.
sha256() {
  (($# > 0)) || fail "sha256 needs a guest path"
  local last=${!#}
  walk no "${@:1:$#-1}"
  shown "$last"
  local path=$REPLY examined kind id owner fd reached sum
  if ! examined=$(stat --printf '%f %d:%i %u' -- "./$last" 2>/dev/null); then
    echo -
    return 0
  fi
  read -r kind id owner <<<"$examined"
  kind_of "$kind"
  if [[ $REPLY != file || -L ./$last ]]; then
    echo -
    return 0
  fi
  # Read-write never blocks, even on a pipe swapped in meanwhile, and the descriptor must reach the
  # file examined before a byte is read.
  if { exec {fd}<>"./$last"; } 2>/dev/null; then
    reached=$(stat -L --printf '%F/%d:%i' -- "/proc/self/fd/$fd") || fail "Guest path [$path] cannot be examined"
    [[ $reached == "regular file/$id" || $reached == "regular empty file/$id" ]] ||
      fail "Guest path [$path] was replaced while it was opened; it is not read"
    sum=$(sha256sum <&"$fd") || fail "Guest file [$path] cannot be read"
    exec {fd}<&-
  else
    # A file root may not write (a read-only file system): dd opens it without blocking and without
    # following a link, and the same regular file with the same change time before and after the
    # read shows that what was read is the file examined.
    local before after
    before=$(stat --printf '%F|%d:%i|%z' -- "./$last") || fail "Guest path [$path] cannot be examined"
    [[ $before == "regular file|$id|"* || $before == "regular empty file|$id|"* ]] ||
      fail "Guest path [$path] was replaced while it was opened; it is not read"
    sum=$(dd if="./$last" iflag=nonblock,nofollow bs=65536 status=none | sha256sum) ||
      fail "Guest file [$path] cannot be read"
    after=$(stat --printf '%F|%d:%i|%z' -- "./$last") || fail "Guest path [$path] cannot be examined"
    [[ $after == "$before" ]] || fail "Guest path [$path] was replaced while it was read; no digest is given"
  fi
  [[ $sum =~ ^([0-9a-f]{64})\  ]] || fail "sha256sum gave no digest for guest file [$path]"
  printf '%s\n' "${BASH_REMATCH[1]}"
}

operation=${1-}
shift || true
case $operation in
  list) list "$@" ;;
  mkdir) make_folder "$@" ;;
  rmdir) remove_folder "$@" ;;
  stage) stage "$@" ;;
  unstage) unstage "$@" ;;
  put) put "$@" ;;
  attr) attr "$@" ;;
  sha256) sha256 "$@" ;;
  *) fail "usage: zqrestore-agent list|mkdir|rmdir|stage|unstage|put|attr|sha256 ARGS..." ;;
esac
