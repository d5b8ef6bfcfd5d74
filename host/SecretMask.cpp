#include "SecretMask.h"

#include <algorithm>

#include <boost/algorithm/string/replace.hpp>

#include "platform/pstring.h"

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
  for (const std::string& secret : m_secrets) boost::algorithm::replace_all(text, secret, "*****");
  return text;
}
