// Keeps the job's passwords out of everything zqrestore prints: any text that came from the
// plug-in or its log has every occurrence of a password that stands as a token replaced by
// "*****" before it is shown.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The fewest bytes of a password zqrestore takes. Text of the tools and the guest is masked by
// finding the password in it, and the plug-in and its tools mask the commands they log by plain
// substring. A password of one to three characters stands inside the tools' names and ordinary
// words ("x" in "zqplink.exe", "re" in "refused"), so its masks would spell it out for anyone who
// knows the words. A longer one rarely does, and the guest's password is not ours to choose: an
// operator restoring into a VM must be able to use the password it has. A password below the bound
// is refused where it is read, never trimmed or padded.
constexpr size_t kMinimumPasswordBytes = 4;

// Why `password` is refused, without the password itself: "" when it is empty (none given) or long
// enough.
std::string ShortPasswordProblem(const std::string& password);

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
