// Addresses of the restore-options fields: (index, tag) of each field, object by object. The
// message's schemas (RestoreOption.cpp) and every reader of the message take them from here.
// A 64-bit integer is read by its tag alone and tested for presence by its index alone.
#pragma once

namespace TMMsg {

struct FieldAddress {
  short index;
  short tag;
};

namespace RestoreOptionFields {

// restoreOptions
constexpr FieldAddress kVMFileLevelRestore{25, 25};
constexpr FieldAddress kCommonOptions{31, 31};

// restoreOptions.vmFileLevelRestore
constexpr FieldAddress kRestoreToVM{2, 2};
constexpr FieldAddress kDestinationVM{8, 11};
constexpr FieldAddress kInstanceEntity{10, 16};

// vmFileLevelRestore.destinationVM
constexpr FieldAddress kServerName{1, 1};
constexpr FieldAddress kServerCredentials{2, 5};
constexpr FieldAddress kVMGuid{3, 6};
constexpr FieldAddress kVMName{4, 10};
constexpr FieldAddress kGuestCredentials{5, 14};

// destinationVM.serverCredentials and destinationVM.guestCredentials
constexpr FieldAddress kUserName{1, 1};
constexpr FieldAddress kPassword{2, 5};

// vmFileLevelRestore.instanceEntity
constexpr FieldAddress kInstanceId{0, 0};
constexpr FieldAddress kClientId{7, 19};

// restoreOptions.commonOptions
constexpr FieldAddress kRestoreACLs{22, 22};
// The suffix of the name a replaced guest file is kept under (with the restore flag backup).
constexpr FieldAddress kBackupSuffix{40, 40};

}  // namespace RestoreOptionFields

}  // namespace TMMsg
