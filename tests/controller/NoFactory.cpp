// A library named like the VM-information component but without its factory.
extern "C" __attribute__((visibility("default"))) int NotTheVMInfoFactory() { return 0; }
