#include "host/SecretMask.h"

#include <algorithm>
#include <cctype>

#include "platform/pstring.h"

namespace {

constexpr const char* kMasked = "*****";

bool ContinuesWord(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return std::isalnum(byte) != 0 || c == '_' || byte >= 0x80;
}

}  // namespace

std::string ShortPasswordProblem(const std::string& password) {
  if (password.empty() || password.size() >= kMinimumPasswordBytes) return std::string();
  return "the password is shorter than " + std::to_string(kMinimumPasswordBytes) +
         " characters; zqrestore refuses one so short, since it cannot be kept out of the tools' messages";
}

SecretMask::SecretMask(std::vector<std::string> secrets) {
  for (std::string& secret : secrets) {
    if (!secret.empty()) m_secrets.push_back(std::move(secret));
  }
  // A password that contains another must be masked first, or a piece of it would stay visible.
  std::sort(m_secrets.begin(), m_secrets.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

SecretMask::~SecretMask() {
  for (std::string& secret : m_secrets) WipeString(secret);
}

std::string SecretMask::Apply(std::string text) const {
  for (const std::string& secret : m_secrets) {
    std::string::size_type at = text.find(secret);
    while (at != std::string::npos) {
      const std::string::size_type end = at + secret.size();
      const bool openLeft = at == 0 || !ContinuesWord(text[at - 1]) || !ContinuesWord(secret.front());
      const bool openRight = end == text.size() || !ContinuesWord(text[end]) || !ContinuesWord(secret.back());
      if (openLeft && openRight) {
        text.replace(at, secret.size(), kMasked);
        at = text.find(secret, at + std::char_traits<char>::length(kMasked));
      } else {
        at = text.find(secret, at + 1);
      }
    }
  }
  return text;
}
