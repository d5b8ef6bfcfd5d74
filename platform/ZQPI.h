// Client identity and job-results folders of the host framework, from the settings.
#pragma once

#include <string>

class ZQPI_CommClient {
 public:
  // The job-results directory of `clientName` on this machine: setting "JobResults"/<clientName>
  // when present, else "JobResults"/"Directory", else /var/lib/zqrestore/jobresults.
  // The text lives as long as this object.
  const char* getJobResultsDirectory(const char* clientName);

 private:
  std::string m_directory;
};

class ZQPI_Focus {
 public:
  // The client this process runs for: setting "Client"/"Name", else the host name.
  static std::string getFocusClientName(bool refresh);
};
