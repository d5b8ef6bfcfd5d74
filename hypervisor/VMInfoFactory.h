// The component's one exported entry point.
#pragma once

class IVMInfo;

// Creates a VM-information object for the given hypervisor instance type into `*out`. Nonzero
// when created; 0 (and `*out` untouched) when `out` is null or the object cannot be made.
extern "C" __attribute__((visibility("default"))) int CreateVMInfoObject(int instanceType, IVMInfo** out);
