// Hypervisor kinds as the VM-information component reports them.
#pragma once

enum VirtualServerInstanceType : int {
  VSInstanceUnknown = 0,
  VSInstanceVMware = 101,   // VMware vCenter
  VSInstanceHyperV = 102,   // Hyper-V
  VSInstanceCloudS3 = 301,  // cloud instances whose guest preparation uses an S3 bucket
  VSInstanceNoNativeGuestOps = 601,  // the one kind without native guest operations
  VSInstanceLibvirt = 701,  // KVM under libvirt, guest operations through the QEMU guest agent
};
