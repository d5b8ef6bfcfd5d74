// Keeps the job's passwords out of everything zqrestore prints: any text that came from the
// plug-in or its log has every occurrence of a password replaced by "*****" before it is shown.
#pragma once

#include <string>
#include <vector>

class SecretMask {
 public:
  SecretMask() = default;
  explicit SecretMask(std::vector<std::string> secrets);
  ~SecretMask();
  SecretMask(const SecretMask&) = delete;
  SecretMask& operator=(const SecretMask&) = delete;

  std::string Apply(std::string text) const;

 private:
  std::vector<std::string> m_secrets;  // non-empty ones only
};
