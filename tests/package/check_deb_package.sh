#!/bin/bash
# Usage: check_deb_package.sh BUILD-DIR VERSION
# Builds the Debian package of BUILD-DIR with cpack in a scratch folder, unpacks it into a scratch
# root (dpkg-deb -x, nothing is installed on this machine) and checks what an administrator gets:
# a zqrestore that runs, the settings as a configuration file, the man page, the declared needs.
set -euo pipefail
if [[ $# -ne 2 ]]; then
  echo "usage: $0 BUILD-DIR VERSION" >&2
  exit 2
fi
build=$1
version=$2
scratch=$(mktemp -d)
trap 'rm -rf "${scratch}"' EXIT

fail() {
  echo "deb package: $*" >&2
  exit 1
}

cpack -G DEB --config "${build}/CPackConfig.cmake" -B "${scratch}/out" >"${scratch}/cpack.log" 2>&1 ||
  { cat "${scratch}/cpack.log" >&2; fail "cpack failed"; }
deb="${scratch}/out/zqrestore_${version}_amd64.deb"
[[ -f ${deb} ]] || fail "no ${deb##*/} was made"

root="${scratch}/root"
dpkg-deb -x "${deb}" "${root}"
dpkg-deb -e "${deb}" "${scratch}/control"

reported=$("${root}/usr/bin/zqrestore" --version)
[[ ${reported} == "zqrestore ${version}" ]] || fail "the unpacked zqrestore says [${reported}]"
for file in usr/lib/zqrestore/libVSAgentlessRestoreToVM.so usr/libexec/zqrestore/zqplink.exe \
  usr/libexec/zqrestore/zqpscp.exe usr/libexec/zqrestore/zqvsa_agentless.sh etc/zqrestore/zqrestore.ini \
  usr/share/man/man1/zqrestore.1 usr/share/doc/zqrestore/README.md usr/share/doc/zqrestore/kvm.md \
  usr/share/doc/zqrestore/restore-guarantees.md usr/share/doc/zqrestore/examples/job-kvm.json; do
  [[ -e "${root}/${file}" ]] || fail "/${file} is missing"
done
[[ ! -e "${root}/usr/etc" ]] || fail "settings were left under /usr/etc"
grep -qx "/etc/zqrestore/zqrestore.ini" "${scratch}/control/conffiles" ||
  fail "/etc/zqrestore/zqrestore.ini is not a configuration file"
grep -q "^dBASEHOME = /usr/libexec/zqrestore$" "${root}/etc/zqrestore/zqrestore.ini" ||
  fail "the packaged settings do not name /usr/libexec/zqrestore"
depends=$(dpkg-deb -f "${deb}" Depends)
[[ ${depends} == *openssh-client* ]] || fail "Depends [${depends}] lacks openssh-client"
echo "zqrestore_${version}_amd64.deb: runs, settings in /etc/zqrestore, Depends: ${depends}"
