// Record of what the stand-in was asked to do: one JSON line per tool run, appended to the file
// the configuration names, so that a test can see which commands reached the guest and which
// scripts PowerShell ran.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace winguest {

class Journal {
 public:
  explicit Journal(std::string path = "");  // an empty path records nothing

  void Start(const std::string& tool, const std::vector<std::string>& arguments);
  // Appends `value` to the list named `key` ("cmd" for every command cmd ran, "powershell" for
  // every script PowerShell ran, "copy" for every file written).
  void Add(const std::string& key, const std::string& value);
  void Set(const std::string& key, const std::string& value);
  // Writes the record with the exit status; later calls start a new record.
  void Finish(int exitStatus);

 private:
  std::string m_path;
  nlohmann::json m_record;
};

}  // namespace winguest
