# Debian packages that building, testing and the demo need; sourced by the scripts.
# shellcheck shell=bash

ZQ_PACKAGES=(
  build-essential cmake libcrypt-dev
  libboost-dev nlohmann-json3-dev libcli11-dev libssl-dev
  googletest libgtest-dev libgmock-dev
  openssh-client openssh-server rsync
  shellcheck tzdata passwd lintian ansible-core
  clang libclang-rt-14-dev
  pkg-config libvirt-dev qemu-guest-agent libarchive-dev zlib1g-dev zstd qemu-utils
  libguestfs-dev libguestfs-tools guestfish fdisk
  qemu-system-x86 linux-image-amd64 busybox-static findutils cpio kmod procps
  libvirt-daemon-system libvirt-daemon-driver-qemu
)

# Installs the packages that are missing; does nothing (and needs no network) when all are there.
ensure_packages() {
  local missing=()
  local package
  for package in "${ZQ_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "${package}" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("${package}")
    fi
  done
  if ((${#missing[@]} == 0)); then
    return 0
  fi
  echo "== installing: ${missing[*]}"
  local sudo=()
  if ((EUID != 0)); then
    sudo=(sudo)
  fi
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
