#!/bin/bash
# Builds the test VM's whole guest as one initramfs from this machine's own files: busybox for the
# boot, bash, coreutils and findutils for the commands the agent runs, qemu-ga, and the virtio
# modules. The guest's file system is the initramfs itself (in RAM); nothing is written to disk.
#
# With --sshd KEY.pub the guest also runs sshd on port 22 (root may log in with that key) and has
# rsync, for comparisons with an SSH copy (bench/kvm-benchmark).
#
# usage: make-guest-image.sh [--sshd KEY.pub] OUTPUT.cpio.gz [KERNEL_VERSION]
set -euo pipefail

usage() {
  echo "usage: $0 [--sshd KEY.pub] OUTPUT.cpio.gz [KERNEL_VERSION]" >&2
  exit 2
}
ssh_key=
if [[ ${1:-} == --sshd ]]; then
  (($# >= 2)) || usage
  ssh_key=$2
  shift 2
fi
if (($# < 1 || $# > 2)); then
  usage
fi
output=$1
kernel_version=${2:-$(find /lib/modules -mindepth 1 -maxdepth 1 -printf '%f\n' | sort -V | tail -n 1)}
modules_from=/lib/modules/${kernel_version}
if [[ ! -d ${modules_from} ]]; then
  echo "make-guest-image: no kernel modules in ${modules_from}" >&2
  exit 1
fi

root=$(mktemp -d)
trap 'rm -rf "${root}"' EXIT
# The guest's "/" as on any Linux system, so that an ordinary guest user can act in it (the tests'
# hostile users).
chmod 0755 "${root}"
mkdir -p "${root}"/{bin,sbin,usr/bin,usr/sbin,etc,proc,sys,dev,run,tmp,var/tmp,root}
chmod 1777 "${root}/tmp" "${root}/var/tmp"

# Copies a program (or library) with every library it loads, keeping their paths.
copy_with_libraries() {
  local program=$1
  local library
  cp -L --parents "${program}" "${root}"
  while read -r library; do
    if [[ -n ${library} && ! -e ${root}${library} ]]; then
      cp -L --parents "${library}" "${root}"
    fi
  done < <(ldd "${program}" 2>/dev/null | grep -o '/[^ ]*' || true)
}

copy_with_libraries /bin/bash
while read -r program; do
  copy_with_libraries "${program}"
done < <(dpkg -L coreutils findutils | grep -E '^/(usr/)?s?bin/[^/]+$')
copy_with_libraries "$(command -v qemu-ga)"
# busybox last, for what the boot needs beyond those (copying through its links would overwrite it).
cp /bin/busybox "${root}/sbin/busybox"
for applet in sh mount modprobe ip kill su; do
  if [[ ! -e ${root}/bin/${applet} ]]; then
    ln -s ../sbin/busybox "${root}/bin/${applet}"
  fi
done

# The virtio modules, with the dependency tables modprobe needs.
while read -r module; do
  cp --parents "${modules_from}/kernel/${module}" "${root}"
done <<'MODULES'
drivers/virtio/virtio.ko
drivers/virtio/virtio_ring.ko
drivers/virtio/virtio_pci_modern_dev.ko
drivers/virtio/virtio_pci_legacy_dev.ko
drivers/virtio/virtio_pci.ko
drivers/char/virtio_console.ko
net/core/failover.ko
drivers/net/net_failover.ko
drivers/net/virtio_net.ko
MODULES
cp "${modules_from}"/modules.{order,builtin,builtin.modinfo} "${root}${modules_from}/" 2>/dev/null || true
depmod -b "${root}" "${kernel_version}"

cat > "${root}/etc/passwd" <<'PASSWD'
root:x:0:0:root:/root:/bin/bash
guest:x:1000:1000:guest:/tmp:/bin/bash
PASSWD
cat > "${root}/etc/group" <<'GROUP'
root:x:0:
guest:x:1000:
GROUP
# A file only root may read, for the tests' hostile users to aim at.
printf 'root:*:19000:0:99999:7:::\n' > "${root}/etc/shadow"
chmod 0600 "${root}/etc/shadow"

if [[ -n ${ssh_key} ]]; then
  copy_with_libraries /usr/sbin/sshd
  copy_with_libraries "$(command -v rsync)"
  mkdir -p "${root}/etc/ssh" "${root}/root/.ssh" "${root}/run/sshd"
  ssh-keygen -q -t ed25519 -N '' -f "${root}/etc/ssh/ssh_host_ed25519_key"
  cp "${ssh_key}" "${root}/root/.ssh/authorized_keys"
  chmod 0700 "${root}/root/.ssh"
  echo 'sshd:x:100:65534::/run/sshd:/usr/sbin/nologin' >> "${root}/etc/passwd"
  printf 'sshd:*:19000:0:99999:7:::\n' >> "${root}/etc/shadow"
  cat > "${root}/etc/ssh/sshd_config" <<'SSHD'
HostKey /etc/ssh/ssh_host_ed25519_key
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
UseDNS no
StrictModes no
SSHD
fi

cat > "${root}/init" <<'INIT'
#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for module in virtio_pci virtio_console virtio_net; do modprobe "$module"; done
ip link set lo up
if ip link set eth0 up 2>/dev/null; then ip addr add 10.0.2.15/24 dev eth0; fi
port=
while [ -z "$port" ]; do
  for name in /sys/class/virtio-ports/*/name; do
    [ "$(cat "$name" 2>/dev/null)" = org.qemu.guest_agent.0 ] && port=/dev/${name#/sys/class/virtio-ports/} && port=${port%/name}
  done
  [ -n "$port" ] || sleep 1
done
echo "zq-guest: agent on $port"
if [ -x /usr/sbin/sshd ]; then /usr/sbin/sshd -f /etc/ssh/sshd_config; fi
# The agent runs once: when it is stopped, it stays stopped (the tests rely on that).
qemu-ga -m virtio-serial -p "$port" -t /run &
echo $! > /run/qemu-ga.pid
wait
echo "zq-guest: agent ended"
while :; do sleep 3600; done
INIT
chmod 0755 "${root}/init"

(cd "${root}" && find . -print0 | cpio --null -o -H newc --quiet) | gzip -1 > "${output}"
