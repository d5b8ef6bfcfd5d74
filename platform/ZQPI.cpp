#include "platform/ZQPI.h"

#include <unistd.h>

#include "platform/ZQPlatformInfo.h"

namespace {
constexpr const char* kDefaultJobResultsDirectory = "/var/lib/zqrestore/jobresults";
}

const char* ZQPI_CommClient::getJobResultsDirectory(const char* clientName) {
  m_directory.clear();
  if (clientName != nullptr && *clientName != '\0' &&
      ZQPlatformInfo::getString("JobResults", clientName, &m_directory) && !m_directory.empty()) {
    return m_directory.c_str();
  }
  if (!ZQPlatformInfo::getString("JobResults", "Directory", &m_directory) || m_directory.empty()) {
    m_directory = kDefaultJobResultsDirectory;
  }
  return m_directory.c_str();
}

std::string ZQPI_Focus::getFocusClientName(bool) {
  std::string name;
  if (ZQPlatformInfo::getString("Client", "Name", &name) && !name.empty()) return name;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return "localhost";
  return host;
}
