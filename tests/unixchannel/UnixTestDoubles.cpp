#include "UnixTestDoubles.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace zqtest {

namespace {

const char* const kFakePlink = R"(#!/bin/bash
set -euo pipefail
user=$3
log() {
  if [[ -n ${ZQ_FAKE_LOG:-} ]]; then
    printf '%s %s %s\n' "$1" "$user" "${ZQ_PUTTY_PASS-<unset>}" >>"$ZQ_FAKE_LOG"
  fi
}
log start
sleep "${ZQ_FAKE_DELAY:-0}"
shift 3
status=0
/bin/sh -c "$*" || status=$?
log end
exit "$status"
)";

const char* const kFakePscp = R"(#!/bin/bash
set -euo pipefail
cp -- "$1" "${2#*:}"
)";

void WriteExecutable(const std::string& path, const std::string& content) {
  WriteFile(path, content);
  chmod(path.c_str(), 0755);
}

}  // namespace

FakeToolsFolder::FakeToolsFolder() {
  WriteExecutable(m_dir.Join("zqplink.exe"), kFakePlink);
  WriteExecutable(m_dir.Join("zqpscp.exe"), kFakePscp);
  WriteExecutable(m_dir.Join("zqvsa_agentless.sh"), ReadFile(ZQ_HELPER_SCRIPT));
}

std::vector<std::string> HostileNames(const std::string& canary) {
  return {
      "it's",
      "say \"hi\"",
      "$(touch " + canary + ")",
      "`touch " + canary + "`",
      "a'; touch " + canary + "; '",
      "b\"; touch " + canary + "; \"",
      "back\\slash\\",
      "  spaced  name ",
      "-rf",
      "--browse_path",
      "new\nline",
      "\xff\xfe non-utf8",
      "*",
      "$HOME",
      "~root",
      std::string(255, 'n'),
  };
}

}  // namespace zqtest
