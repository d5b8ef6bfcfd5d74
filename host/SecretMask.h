// Keeps the job's passwords out of everything zqrestore prints: any text that came from the
// plug-in or its log has every occurrence of a password that stands as a token replaced by
// "*****" before it is shown.
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

  // A password stands as a token where neither the character before it nor the one after it
  // continues a word (a letter, a digit, "_" or a byte of a multi-byte character): the password
  // "wrong" is masked in "ZQ_PUTTY_PASS=wrong" and in "[wrong]", but "wrongly" stays as it is.
  // A password that is an ordinary word is still masked where that word stands alone, since the
  // text cannot tell the two apart.
  std::string Apply(std::string text) const;

 private:
  std::vector<std::string> m_secrets;  // non-empty ones only
};
