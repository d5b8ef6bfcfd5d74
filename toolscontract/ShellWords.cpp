#include "toolscontract/ShellWords.h"

#include <cstring>

namespace ShellWords {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Bytes that stand for themselves outside quotes in every position of a word.
bool IsPlainByte(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("%+,-./:=@_", c) != nullptr;
}

// A first word that begins NAME= is a variable assignment for the shell, not the command.
bool IsAssignment(const std::string& unquotedStart) {
  const size_t equals = unquotedStart.find('=');
  if (equals == std::string::npos || equals == 0) return false;
  for (size_t i = 0; i < equals; ++i) {
    const char c = unquotedStart[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
  }
  return true;
}

class Reader {
 public:
  explicit Reader(const std::string& line) : m_line(line) {}

  bool Read(CommandLine& parsed) {
    parsed = CommandLine{};
    bool redirected = false;
    for (;;) {
      while (m_at < m_line.size() && IsBlank(m_line[m_at])) ++m_at;
      if (m_at == m_line.size()) break;
      const bool redirection = m_line[m_at] == '<';
      if (redirection) {
        if (redirected) return false;
        redirected = true;
        ++m_at;
        while (m_at < m_line.size() && IsBlank(m_line[m_at])) ++m_at;
      }
      std::string word, unquotedStart;
      if (!ReadWord(word, unquotedStart)) return false;
      if (redirection) {
        if (word.empty()) return false;
        parsed.inputFile = word;
      } else {
        if (parsed.words.empty() && IsAssignment(unquotedStart)) return false;
        parsed.words.push_back(std::move(word));
      }
    }
    return !parsed.words.empty();
  }

 private:
  // One word up to the next blank or the end. `unquotedStart` receives the bytes before the first
  // quote or backslash, which decide whether the shell sees an assignment.
  bool ReadWord(std::string& word, std::string& unquotedStart) {
    bool quoted = false, any = false;
    while (m_at < m_line.size() && !IsBlank(m_line[m_at])) {
      const char c = m_line[m_at++];
      any = true;
      if (c == '\'') {
        quoted = true;
        const size_t end = m_line.find('\'', m_at);
        if (end == std::string::npos) return false;
        word.append(m_line, m_at, end - m_at);
        m_at = end + 1;
      } else if (c == '"') {
        quoted = true;
        if (!ReadDoubleQuoted(word)) return false;
      } else if (c == '\\') {
        quoted = true;
        if (m_at == m_line.size() || m_line[m_at] == '\n') return false;
        word += m_line[m_at++];
      } else if (IsPlainByte(static_cast<unsigned char>(c))) {
        word += c;
        if (!quoted) unquotedStart += c;
      } else {
        return false;
      }
    }
    return any;
  }

  // The rest of a double-quoted part, its closing quote included.
  bool ReadDoubleQuoted(std::string& word) {
    while (m_at < m_line.size()) {
      const char c = m_line[m_at++];
      if (c == '"') return true;
      if (c == '$' || c == '`') return false;
      if (c == '\\') {
        if (m_at == m_line.size()) return false;
        const char next = m_line[m_at];
        if (next == '\n') return false;
        if (next == '$' || next == '`' || next == '"' || next == '\\') {
          word += next;
          ++m_at;
          continue;
        }
      }
      word += c;
    }
    return false;
  }

  const std::string& m_line;
  size_t m_at = 0;
};

}  // namespace

bool Split(const std::string& line, CommandLine& parsed) {
  if (line.size() > kMaxLineBytes || line.find('\0') != std::string::npos) return false;
  return Reader(line).Read(parsed);
}

}  // namespace ShellWords
