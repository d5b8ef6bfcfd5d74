// The guest of the SSH jobs: one OpenSSH server on a loopback address for the whole test program,
// started when the first test needs it and stopped when the program ends. The "guest" is this
// machine, reached as root (inside the server's own account files), so a job may set any owner.
#pragma once

#include "testbeds/sshd/SshdGuestEnvironment.h"

namespace wholejob {

// Registered as a test environment by WholeJobMain.cpp, so that the server ends with the program.
zqtest::SshdGuestEnvironment& SshGuest();

}  // namespace wholejob

// Skips the test when no SSH server can run here, except in CI, where that is a failure.
#define REQUIRE_SSH_GUEST() REQUIRE_SSHD_GUEST(::wholejob::SshGuest())
