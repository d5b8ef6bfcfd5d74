#!/bin/bash
# Usage: check_deb_package.sh BUILD-DIR VERSION SOURCE-DIR
# Builds the Debian package of BUILD-DIR with cpack in a scratch folder, unpacks it into a scratch
# root (dpkg-deb -x, nothing is installed on this machine) and checks what an administrator gets:
# a zqrestore that runs, the settings as a configuration file, the man page, the declared needs,
# Debian's layout (private libraries in /usr/lib/zqrestore, what changes at run time below
# /var/lib/zqrestore, every document the README names), and, where lintian is installed, that
# lintian finds no error in the package (its warnings are printed).
set -euo pipefail
if [[ $# -ne 3 ]]; then
  echo "usage: $0 BUILD-DIR VERSION SOURCE-DIR" >&2
  exit 2
fi
build=$1
version=$2
sources=$3
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
  usr/share/doc/zqrestore/README.md usr/share/doc/zqrestore/kvm.md \
  usr/share/doc/zqrestore/restore-guarantees.md usr/share/doc/zqrestore/examples/job-kvm.json; do
  [[ -e "${root}/${file}" ]] || fail "/${file} is missing"
done
[[ ! -e "${root}/usr/etc" ]] || fail "settings were left under /usr/etc"
grep -qx "/etc/zqrestore/zqrestore.ini" "${scratch}/control/conffiles" ||
  fail "/etc/zqrestore/zqrestore.ini is not a configuration file"
grep -q "^dBASEHOME = /usr/libexec/zqrestore$" "${root}/etc/zqrestore/zqrestore.ini" ||
  fail "the packaged settings do not name /usr/libexec/zqrestore"

# Debian's layout.
for file in usr/share/man/man1/zqrestore.1.gz usr/share/doc/zqrestore/copyright \
  usr/share/doc/zqrestore/changelog.gz etc/logrotate.d/zqrestore usr/lib/zqrestore/libVMInfo.so \
  usr/lib/zqrestore/libzqplatform.so usr/include/zqrestore/controller/IVSAgentlessRestoreToVM.h \
  usr/share/bash-completion/completions/zqrestore usr/share/doc/zqrestore/fleet.md \
  usr/share/zqrestore/ansible/ansible_collections/zq/restore/plugins/modules/zqrestore.py; do
  [[ -e "${root}/${file}" ]] || fail "/${file} is missing"
done
[[ -d "${root}/var/lib/zqrestore" ]] || fail "/var/lib/zqrestore is missing"
[[ ! -e "${root}/usr/share/man/man1/zqrestore.1" ]] || fail "the man page is not compressed"
grep -qx "/etc/logrotate.d/zqrestore" "${scratch}/control/conffiles" ||
  fail "/etc/logrotate.d/zqrestore is not a configuration file"
unversioned=$(find "${root}/usr/lib" -maxdepth 1 -name '*.so' -printf '%f ')
[[ -z ${unversioned} ]] || fail "unversioned libraries in /usr/lib: ${unversioned}"
for program in usr/bin/zqrestore usr/libexec/zqrestore/zqplink.exe; do
  runpath=$(readelf -d "${root}/${program}" | sed -n 's/.*R.*PATH.*\[\(.*\)\]/\1/p')
  resolved=$(cd "$(dirname "${root}/${program}")" && cd "${runpath#\$ORIGIN/}" 2>/dev/null && pwd)
  [[ ${resolved} == "${root}/usr/lib/zqrestore" ]] || fail "/${program} has the run path [${runpath}]"
done
# Files the tools change at run time are not placed below /usr by the packaged settings.
while IFS= read -r line; do
  [[ ${line} != *"= /usr/"* ]] || fail "the packaged settings put a file that changes at run time below /usr: ${line}"
done < <(grep -E "^(KnownHostsFile|ConfigFile|ControlDir) *=" "${root}/etc/zqrestore/zqrestore.ini")
grep -q "^KnownHostsFile = /var/lib/zqrestore/" "${root}/etc/zqrestore/zqrestore.ini" ||
  fail "the packaged settings keep known_hosts elsewhere than /var/lib/zqrestore"
while IFS= read -r document; do
  [[ -e "${root}/usr/share/doc/zqrestore/${document#docs/}" ]] ||
    fail "${document}, which the README names, is not in /usr/share/doc/zqrestore"
done < <(grep -o 'docs/[A-Za-z0-9_/-]*\.md' "${sources}/README.md" | sort -u)

if command -v lintian >/dev/null; then
  findings=$(lintian --allow-root "${deb}" 2>&1 || true)
  if grep -q '^E:' <<<"${findings}"; then
    echo "${findings}" >&2
    fail "lintian finds errors"
  fi
  [[ -z ${findings} ]] || echo "lintian warnings (accepted):"$'\n'"${findings}"
else
  echo "lintian is not installed: the package was not checked with it"
fi

depends=$(dpkg-deb -f "${deb}" Depends)
[[ ${depends} == *openssh-client* ]] || fail "Depends [${depends}] lacks openssh-client"
echo "zqrestore_${version}_amd64.deb: runs, settings in /etc/zqrestore, Depends: ${depends}"
