#include "AskPass.h"

#include <boost/algorithm/string/predicate.hpp>
#include <cstdio>
#include <cstdlib>

#include "OpenSshCommand.h"

namespace AskPass {

bool IsRequested() {
  const char* marker = std::getenv(OpenSshCommand::kAskPassMarker);
  return marker != nullptr && std::string(marker) == "1";
}

int Answer(const std::string& question) {
  const char* password = std::getenv(OpenSshCommand::kPasswordVariable);
  if (password == nullptr || *password == '\0') return 1;
  if (!boost::algorithm::icontains(question, "password")) return 1;
  std::printf("%s\n", password);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace AskPass
