// The restore-options message, from its readable JSON form.
#include "FuzzSupport.h"
#include "platform/RestoreOption.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace TMMsg::RestoreOptionFields;
  zqfuzz::QuietProcess();
  TMMsg::RestoreOption options;
  const bool ok = options.LoadFromJson(zqfuzz::Text(data, size));
  // Reads through the message the way the controller does, also on absent objects.
  const CNMessageBase& restore = options.nestedOrEmpty(kVMFileLevelRestore.index, kVMFileLevelRestore.tag);
  const CNMessageBase& destination = restore.nestedOrEmpty(kDestinationVM.index, kDestinationVM.tag);
  (void)destination.getstring(kVMName.index, kVMName.tag, TMMsg::kTypeCheckAny, TMMsg::kFieldCheckAny);
  (void)destination.nestedOrEmpty(kGuestCredentials.index, kGuestCredentials.tag)
      .getpstringobject(kPassword.index, kPassword.tag, TMMsg::kTypeCheckAny, TMMsg::kFieldCheckAny);
  (void)restore.getint64(kRestoreToVM.tag, TMMsg::kTypeCheckAny, TMMsg::kFieldCheckAny);
  if (!ok) {
    ZQFUZZ_CHECK(!options.isSet(kVMFileLevelRestore.index, TMMsg::kTypeCheckAny, TMMsg::kFieldCheckAny));
    ZQFUZZ_CHECK(!options.isSet(kCommonOptions.index, TMMsg::kTypeCheckAny, TMMsg::kFieldCheckAny));
  }
  return 0;
}
