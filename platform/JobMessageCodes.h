// The codes the plug-in posts to the restore job as pending causes, each with the number of text
// arguments that come with it. The plug-in posts them; the host's message catalogue words them.
// kMsgSentence carries one complete sentence built by the plug-in; every other code carries values
// and takes its wording from the catalogue.
#pragma once

namespace JobMessageCodes {

// Every code once: X(name, code, number of text arguments).
#define ZQ_JOB_MESSAGE_CODES(X)                 \
  X(kMsgSentence, 0x4800006A, 1)                \
  X(kMsgVMNotFound, 0x5B0000C0, 1)              \
  X(kMsgVMNotPoweredOn, 0x5B0000C1, 1)          \
  X(kMsgNoVMwareTools, 0x5B0000C2, 1)           \
  X(kMsgGuestLoginFailed, 0x5B0000C3, 2)        \
  X(kMsgHostOSNotSupported, 0x5B000129, 2)      \
  X(kMsgGuestOSNotSupported, 0x5B00012A, 2)     \
  X(kMsgConnectFailedWithReason, 0x5B00008B, 3) \
  X(kMsgConnectFailed, 0x5B000032, 2)

#define ZQ_JOB_MESSAGE_CODE_CONSTANT(name, code, arguments) constexpr int name = code;
ZQ_JOB_MESSAGE_CODES(ZQ_JOB_MESSAGE_CODE_CONSTANT)
#undef ZQ_JOB_MESSAGE_CODE_CONSTANT

struct JobMessageCode {
  const char* name;
  int code;
  int argumentCount;
};

// The same codes as a table, for those that must know them all: the host's catalogue and its test.
#define ZQ_JOB_MESSAGE_CODE_ROW(name, code, arguments) JobMessageCode{#name, code, arguments},
inline constexpr JobMessageCode kAllCodes[] = {ZQ_JOB_MESSAGE_CODES(ZQ_JOB_MESSAGE_CODE_ROW)};
#undef ZQ_JOB_MESSAGE_CODE_ROW
#undef ZQ_JOB_MESSAGE_CODES

// The row of `code`, or null for a code the plug-in never posts.
constexpr const JobMessageCode* FindCode(int code) {
  for (const JobMessageCode& row : kAllCodes) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

}  // namespace JobMessageCodes
