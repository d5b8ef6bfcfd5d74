// Names that mean something to the proxy's shell, to cmd, to powershell.exe's command line or to
// PowerShell: the Windows channel's tests send each of them through every operation.
#pragma once

#include <string>
#include <vector>

namespace zqtest {

inline std::vector<std::string> WindowsHostileNames() {
  return {"it's", "x'; New-Item pwned -ItemType directory; 'y", "\xE2\x80\x98quoted\xE2\x80\x99",
          "low\xE2\x80\x9A" "and\xE2\x80\x9B" "high", "$HOME", "$Recycle.Bin", "$(id)", "a`id`b", "`",
          "%PATH%", "%USERNAME%x%", "100%", "a&b", "a^b", "a^&b", "a b", "a  b", " lead", "[1]", "a]b",
          "(p)", "!bang", "#hash", "@{x}", "x;y=z", "~tilde",
          "caf\xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87", "a'$x'`&%y%^"};
}

}  // namespace zqtest
