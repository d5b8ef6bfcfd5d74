// The login name a Windows OpenSSH server takes for a domain account. The Windows channel hands
// the SSH tools a domain login as "alice:CORP"; the tools send it as "CORP\alice", the down-level
// logon name Windows resolves for local and domain accounts alike.
#pragma once

#include <string>

namespace WindowsLogin {

// "alice:CORP" becomes "CORP\alice"; a name without a colon, or with nothing before or after it,
// stays as it is (no Unix or Windows account name holds a colon).
inline std::string ForOpenSsh(const std::string& user) {
  const auto colon = user.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == user.size()) return user;
  return user.substr(colon + 1) + "\\" + user.substr(0, colon);
}

}  // namespace WindowsLogin
