#include "platform/CNyError.h"

#include <cstring>

CNyError CNyError::FromErrno(int code, const std::string& context) {
  return CNyError(code, context + ": " + strerror(code));
}
