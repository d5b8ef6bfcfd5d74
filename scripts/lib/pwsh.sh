# pwsh (PowerShell 7 as a .NET tool) for the tests that check the Windows channel's scripts with
# real PowerShell; sourced by the scripts. It goes into a folder of the build, with the .NET
# tool's caches beside it: nothing outside the build changes. Where the .NET SDK is missing
# nothing is installed, and those tests skip (under CI=true they fail).
# shellcheck shell=bash

ZQ_PWSH_VERSION="${ZQ_PWSH_VERSION:-7.6.9}"

# Prints the pwsh program inside DIR, installing it there first when it is not there in this
# version; prints nothing (and says why on standard error) when it cannot.
ensure_pwsh() {
  local dir="$1"
  if [[ -x "${dir}/pwsh" && -d "${dir}/.store/powershell/${ZQ_PWSH_VERSION}" ]]; then
    echo "${dir}/pwsh"
    return 0
  fi
  if ! command -v dotnet >/dev/null 2>&1; then
    echo "== no .NET SDK (dotnet): pwsh is not installed; the tests that need it skip" >&2
    return 0
  fi
  echo "== installing pwsh ${ZQ_PWSH_VERSION} into ${dir}" >&2
  rm -rf "${dir}"
  mkdir -p "${dir}/.home"
  if DOTNET_CLI_HOME="${dir}/.home" NUGET_PACKAGES="${dir}/.home/packages" DOTNET_CLI_TELEMETRY_OPTOUT=1 \
    DOTNET_NOLOGO=1 dotnet tool install --tool-path "${dir}" PowerShell --version "${ZQ_PWSH_VERSION}" >&2; then
    rm -rf "${dir}/.home/packages"
    echo "${dir}/pwsh"
  else
    echo "== pwsh could not be installed; the tests that need it skip" >&2
  fi
}
