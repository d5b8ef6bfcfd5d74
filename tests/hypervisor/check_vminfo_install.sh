#!/usr/bin/env bash
# Usage: check_vminfo_install.sh exports LIBVMINFO.so
#        check_vminfo_install.sh install BUILD_DIR
# "exports": the component's dynamic symbol table defines CreateVMInfoObject and nothing else.
# "install": an installation puts libVMInfo.so beside the plug-in, whose run path ($ORIGIN) lets the
# plug-in's dlopen("libVMInfo.so") find it, and the component's own dependencies resolve there.
set -euo pipefail

usage() {
  echo "usage: check_vminfo_install.sh exports LIBVMINFO.so | install BUILD_DIR" >&2
  exit 2
}

check_exports() {
  local library="$1" actual
  actual="$(nm -D --defined-only "${library}" | awk '{print $3}' | sort)"
  if [[ "${actual}" != "CreateVMInfoObject" ]]; then
    echo "unexpected exported symbols of ${library}:" >&2
    printf '%s\n' "${actual}" >&2
    exit 1
  fi
  echo "exports: ${actual}"
}

prefix=""
cleanup() {
  if [[ -n "${prefix}" ]]; then rm -rf "${prefix}"; fi
}
trap cleanup EXIT

check_install() {
  local build="$1" libdir
  prefix="$(mktemp -d)"
  cmake --install "${build}" --prefix "${prefix}" >/dev/null
  libdir="$(dirname "$(find "${prefix}" -name libVMInfo.so -print -quit)")"
  if [[ "${libdir}" == "." ]]; then
    echo "libVMInfo.so is not installed" >&2
    exit 1
  fi
  if [[ ! -e "${libdir}/libVSAgentlessRestoreToVM.so" ]]; then
    echo "libVMInfo.so is not installed beside the plug-in (in ${libdir})" >&2
    exit 1
  fi
  if ! readelf -d "${libdir}/libVSAgentlessRestoreToVM.so" | grep -E 'R(UN)?PATH' | grep -qF "\$ORIGIN"; then
    echo "the installed plug-in has no \$ORIGIN run path" >&2
    exit 1
  fi
  if env -u LD_LIBRARY_PATH ldd "${libdir}/libVMInfo.so" | grep -q 'not found'; then
    echo "the installed libVMInfo.so has unresolved dependencies:" >&2
    env -u LD_LIBRARY_PATH ldd "${libdir}/libVMInfo.so" >&2
    exit 1
  fi
  echo "installed beside the plug-in in ${libdir#"${prefix}"}"
}

[[ $# -eq 2 ]] || usage
case "$1" in
  exports) check_exports "$2" ;;
  install) check_install "$2" ;;
  *) usage ;;
esac
