// The commands the guest's PowerShell knows: Test-Path, Get-ChildItem, Get-Item, New-Item,
// Remove-Item, Split-Path, Get-Date, Write-Host, Write-Output, Out-Null, Get-Volume and the
// program systeminfo, with their usual aliases. Arguments are bound as PowerShell binds them:
// named parameters by their name or an unambiguous prefix, the rest by position. -Path takes
// wildcards (* ? [ ]), -LiteralPath never does.
#pragma once

#include <string>
#include <vector>

#include "PsValue.h"

namespace winguest {

class PsInterpreter;

struct CommandArgumentValue {
  std::string parameter;  // empty for a positional argument
  bool hasValue = false;
  PsValue value;
};

// Runs the command `name`; false when the guest has no command by that name. Errors that end the
// statement are thrown as PsError; errors for single items are written and the command goes on.
bool RunGuestCommand(PsInterpreter& interpreter, const std::string& name,
                     const std::vector<CommandArgumentValue>& arguments, const PsArray& input, PsArray& output);

// What systeminfo prints on this guest.
std::string SystemInfoText(const std::string& osName);

}  // namespace winguest
