// The restore-options message, from its readable JSON form.
#include "FuzzSupport.h"
#include "platform/RestoreOption.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zqfuzz::QuietProcess();
  TMMsg::RestoreOption options;
  const bool ok = options.LoadFromJson(zqfuzz::Text(data, size));
  // Reads through the message the way the controller does, also on absent objects.
  const CNMessageBase& restore = options.nestedOrEmpty(25, 25);
  const CNMessageBase& destination = restore.nestedOrEmpty(8, 11);
  (void)destination.getstring(4, 10, TMMsg::kTypeCheckAny, TMMsg::kFieldCheckAny);
  (void)destination.nestedOrEmpty(5, 14).getpstringobject(2, 5, TMMsg::kTypeCheckAny, TMMsg::kFieldCheckAny);
  (void)restore.getint64(2, TMMsg::kTypeCheckAny, TMMsg::kFieldCheckAny);
  if (!ok) {
    ZQFUZZ_CHECK(!options.isSet(25, TMMsg::kTypeCheckAny, TMMsg::kFieldCheckAny));
    ZQFUZZ_CHECK(!options.isSet(31, TMMsg::kTypeCheckAny, TMMsg::kFieldCheckAny));
  }
  return 0;
}
