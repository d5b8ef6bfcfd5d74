#include "toolscontract/ShellQuote.h"

#include <cstring>

namespace ShellQuote {

namespace {

bool IsPlainByte(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("%+,-./:=@_", c) != nullptr;
}

}  // namespace

bool IsCarriable(const std::string& text) { return text.find('\0') == std::string::npos; }

std::string SingleQuoted(const std::string& text) {
  std::string word = "'";
  for (char c : text) {
    if (c == '\'') {
      word += "'\\''";
    } else {
      word += c;
    }
  }
  word += '\'';
  return word;
}

std::string DoubleQuoted(const std::string& text) {
  std::string word = "\"";
  for (char c : text) {
    if (c == '$' || c == '`' || c == '"' || c == '\\') word += '\\';
    word += c;
  }
  word += '"';
  return word;
}

std::string Word(const std::string& text) {
  if (text.empty()) return SingleQuoted(text);
  for (unsigned char c : text) {
    if (!IsPlainByte(c)) return SingleQuoted(text);
  }
  return text;
}

}  // namespace ShellQuote
