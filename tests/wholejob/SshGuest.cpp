#include "SshGuest.h"

namespace wholejob {

zqtest::SshdGuestEnvironment& SshGuest() {
  // Owned by GoogleTest once registered as an environment.
  static auto* guest = new zqtest::SshdGuestEnvironment("127.0.0.4");
  return *guest;
}

}  // namespace wholejob
