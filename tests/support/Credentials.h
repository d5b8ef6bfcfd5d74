// Guest logins for tests, built in one place: the login a channel's Init takes, and the guest
// record the controller hands the channel selection and the VM-information component.
#pragma once

#include <string>

#include "guestapi/GuestTypes.h"

namespace zqtest {

// `addresses`: one address, or several separated by ",".
inline GuestLoginCred MakeLogin(const std::string& user, const std::string& password, const std::string& addresses) {
  GuestLoginCred login;
  login.userName = user;
  login.password = password;
  login.ipAddress = addresses;
  return login;
}

inline GuestCtx MakeGuestCtx(const std::string& vmName, const std::string& user, const std::string& password,
                             const std::string& vmGuid = "", const std::string& serverName = "") {
  GuestCtx ctx;
  ctx.vmName = vmName;
  ctx.vmGuid = vmGuid;
  ctx.serverName = serverName;
  ctx.userName = user;
  ctx.password = password;
  return ctx;
}

}  // namespace zqtest
