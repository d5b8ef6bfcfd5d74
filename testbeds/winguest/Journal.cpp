#include "Journal.h"

#include <fstream>

namespace winguest {

Journal::Journal(std::string path) : m_path(std::move(path)) {}

void Journal::Start(const std::string& tool, const std::vector<std::string>& arguments) {
  m_record = nlohmann::json::object();
  m_record["tool"] = tool;
  m_record["argv"] = arguments;
}

void Journal::Add(const std::string& key, const std::string& value) {
  if (!m_record.contains(key)) m_record[key] = nlohmann::json::array();
  m_record[key].push_back(value);
}

void Journal::Set(const std::string& key, const std::string& value) { m_record[key] = value; }

void Journal::Finish(int exitStatus) {
  m_record["exit"] = exitStatus;
  if (!m_path.empty()) {
    std::ofstream out(m_path, std::ios::app);
    // Names may hold bytes that are not UTF-8; keep them visible instead of failing.
    out << m_record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  }
  m_record = nlohmann::json::object();
}

}  // namespace winguest
