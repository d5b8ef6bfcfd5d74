#!/bin/bash
# Usage: check_host_build.sh BUILD-DIR TINY-HOST-SOURCE [COMPILER-FLAGS]
# Installs BUILD-DIR into a scratch prefix (cmake --install) and builds a tiny backup host against
# that tree only: every installed header must compile on its own, the host compiles and links with
# what zqrestore.pc says, and it loads the installed plug-in and calls its factory.
set -euo pipefail
if [[ $# -lt 2 ]]; then
  echo "usage: $0 BUILD-DIR TINY-HOST-SOURCE [COMPILER-FLAGS]" >&2
  exit 2
fi
build=$1
source=$2
read -r -a flags <<<"${3:-}"
scratch=$(mktemp -d)
trap 'rm -rf "${scratch}"' EXIT

fail() {
  echo "host build: $*" >&2
  exit 1
}

prefix="${scratch}/prefix"
cmake --install "${build}" --prefix "${prefix}" >"${scratch}/install.log" 2>&1 ||
  { cat "${scratch}/install.log" >&2; fail "cmake --install failed"; }
pcdir=$(dirname "$(find "${prefix}" -name zqrestore.pc -print -quit)")
[[ -f "${pcdir}/zqrestore.pc" ]] || fail "no zqrestore.pc was installed"
export PKG_CONFIG_PATH="${pcdir}"
read -r -a cflags <<<"$(pkg-config --cflags zqrestore)"
read -r -a libs <<<"$(pkg-config --libs zqrestore)"
plugin=$(pkg-config --variable=pluginfile zqrestore)
[[ -f ${plugin} ]] || fail "zqrestore.pc names the plug-in ${plugin}, which is not installed"
for option in "${cflags[@]}"; do
  [[ ${option} != -I* || ${option} == "-I${prefix}"* || ${option} == -I/usr/include* ]] ||
    fail "zqrestore.pc points outside the installation: ${option}"
done

# Each header on its own: the installed set needs nothing from the source tree.
headers=0
while IFS= read -r header; do
  relative=${header#"${prefix}/include/zqrestore/"}
  echo "#include \"${relative}\"" >"${scratch}/one.cpp"
  g++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only "${cflags[@]}" "${scratch}/one.cpp" ||
    fail "${relative} does not compile on its own against the installation"
  headers=$((headers + 1))
done < <(find "${prefix}/include/zqrestore" -name '*.h' | sort)
((headers > 0)) || fail "no headers under ${prefix}/include/zqrestore"

cp "${source}" "${scratch}/tiny_host.cpp"
g++ -std=c++17 -Wall -Wextra "${flags[@]}" "${cflags[@]}" -o "${scratch}/tiny_host" "${scratch}/tiny_host.cpp" \
  "${libs[@]}" || fail "the tiny host does not build against the installation"
output=$(cd "${scratch}" && env -u LD_LIBRARY_PATH "${scratch}/tiny_host" "${plugin}") ||
  fail "the tiny host failed: ${output}"
[[ ${output} == "tiny host: controller made and deleted, job 7" ]] || fail "the tiny host said [${output}]"
echo "${headers} headers compile on their own; ${output}"
