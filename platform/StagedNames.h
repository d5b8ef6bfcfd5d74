// How the host names a staged entry whose name the proxy's file system cannot carry as it is: a
// ":" is written as kColonToken. The host writes staged entries that way and the controller decodes
// the token on the way into a Unix guest.
#pragma once

constexpr const char* kColonToken = "ZqColonZq";
