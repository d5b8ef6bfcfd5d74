// Result of a platform file operation: an errno-style code and its text.
#pragma once

#include <string>

class CNyError {
 public:
  CNyError() = default;
  CNyError(int code, std::string text) : m_code(code), m_text(std::move(text)) {}
  static CNyError FromErrno(int code, const std::string& context);

  bool IsError() const { return m_code != 0; }
  int Code() const { return m_code; }
  std::string AsString() const { return m_text; }

 private:
  int m_code = 0;
  std::string m_text;
};
