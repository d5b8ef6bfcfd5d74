// Character-level reading of PowerShell text for the parser: blanks, line continuations and
// comments; keywords and operators such as -eq; variable names; numbers; single-quoted strings
// (any of ' ‘ ’ ‚ ‛ opens and closes one, two in a row stand for one); bare words of argument
// mode. The text is read as Unicode code points. A failure throws ParseFailure with
// PowerShell's message; the parser turns it into a ParseError.
#pragma once

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/locale/encoding_utf.hpp>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "PsParser.h"

namespace winguest::ps {

struct ParseFailure {
  ParseError error;
};

inline bool IsSingleQuote(char32_t c) {
  return c == U'\'' || c == U'\u2018' || c == U'\u2019' || c == U'\u201A' || c == U'\u201B';
}
inline bool IsDoubleQuote(char32_t c) { return c == U'"' || c == U'\u201C' || c == U'\u201D' || c == U'\u201E'; }
inline bool IsDash(char32_t c) { return c == U'-' || c == U'\u2013' || c == U'\u2014' || c == U'\u2015'; }
inline bool IsBlank(char32_t c) { return c == U' ' || c == U'\t' || c == U'\f' || c == U'\v' || c == U'\u00A0'; }
inline bool IsNewline(char32_t c) { return c == U'\n' || c == U'\r'; }
inline bool IsDigit(char32_t c) { return c >= U'0' && c <= U'9'; }
inline bool IsLetter(char32_t c) { return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || c > 0x7F; }
inline bool IsNameChar(char32_t c) { return IsLetter(c) || IsDigit(c) || c == U'_'; }
// Characters that end a bare word in argument mode.
inline bool EndsBareWord(char32_t c) {
  return IsBlank(c) || IsNewline(c) || c == U';' || c == U'|' || c == U'&' || c == U'(' || c == U')' ||
         c == U'{' || c == U'}' || c == U',';
}

inline std::string Utf8(const std::u32string& text) { return boost::locale::conv::utf_to_utf<char>(text); }

class PsScanner {
 public:
  explicit PsScanner(const std::string& script)
      : m_text(boost::locale::conv::utf_to_utf<char32_t>(script, boost::locale::conv::skip)) {}

 protected:
  bool AtEnd() const { return m_pos >= m_text.size(); }
  char32_t Peek(size_t ahead = 0) const { return m_pos + ahead < m_text.size() ? m_text[m_pos + ahead] : 0; }
  char32_t Next() { return m_text[m_pos++]; }

  [[noreturn]] void Fail(const std::string& message, const std::string& errorId, size_t position) const {
    throw ParseFailure{ParseError{position + 1, message, errorId}};
  }
  [[noreturn]] void Fail(const std::string& message, const std::string& errorId) const {
    Fail(message, errorId, m_pos);
  }
  std::string RestOfToken() const {
    size_t end = m_pos;
    while (end < m_text.size() && !IsBlank(m_text[end]) && !IsNewline(m_text[end])) ++end;
    return Utf8(m_text.substr(m_pos, end - m_pos));
  }

  void SkipBlanks() {
    while (!AtEnd()) {
      const char32_t c = Peek();
      if (IsBlank(c)) {
        ++m_pos;
      } else if (c == U'`' && IsNewline(Peek(1))) {
        m_pos += 2;
      } else if (c == U'<' && Peek(1) == U'#') {
        const size_t close = m_text.find(U"#>", m_pos + 2);
        if (close == std::u32string::npos) Fail("Missing end of comment '#>'.", "MissingEndOfComment");
        m_pos = close + 2;
      } else if (c == U'#') {
        while (!AtEnd() && !IsNewline(Peek())) ++m_pos;
      } else {
        break;
      }
    }
  }

  void SkipBlanksAndNewlines() {
    while (true) {
      SkipBlanks();
      if (AtEnd() || !IsNewline(Peek())) return;
      ++m_pos;
    }
  }

  // A keyword (letters only) at the current position, in lower case, not followed by a name character.
  std::string PeekKeyword() const {
    size_t end = m_pos;
    while (end < m_text.size() && ((m_text[end] >= U'a' && m_text[end] <= U'z') || (m_text[end] >= U'A' && m_text[end] <= U'Z'))) {
      ++end;
    }
    if (end == m_pos || (end < m_text.size() && (IsNameChar(m_text[end]) || IsDash(m_text[end])))) return "";
    return boost::algorithm::to_lower_copy(Utf8(m_text.substr(m_pos, end - m_pos)));
  }

  void Expect(char32_t c, const std::string& message, const std::string& errorId) {
    if (Peek() != c) Fail(message, errorId);
    ++m_pos;
  }

  bool AtEndAfter(size_t ahead) const { return m_pos + ahead >= m_text.size(); }



  static PsValue BareWordValue(const std::string& word) {
    if (!word.empty()) {
      char* end = nullptr;
      errno = 0;
      const long long number = std::strtoll(word.c_str(), &end, 10);
      if (end && *end == '\0' && errno == 0 && (std::isdigit(static_cast<unsigned char>(word[0])) || word[0] == '-')) {
        return PsValue(static_cast<int64_t>(number));
      }
    }
    return PsValue(word);
  }

  std::string PeekDashOperator() const {
    if (!IsDash(Peek()) || !IsLetter(Peek(1))) return "";
    size_t end = m_pos + 1;
    while (end < m_text.size() && IsLetter(m_text[end])) ++end;
    return "-" + boost::algorithm::to_lower_copy(Utf8(m_text.substr(m_pos + 1, end - m_pos - 1)));
  }

  std::string ReadVariableName() {
    if (Peek() == U'{') {
      const size_t close = m_text.find(U'}', m_pos);
      if (close == std::u32string::npos) Fail("Missing '}' in variable name.", "IncompleteDollarVariableReference");
      const std::string name = Utf8(m_text.substr(m_pos + 1, close - m_pos - 1));
      m_pos = close + 1;
      return name;
    }
    if (Peek() == U'_' && !IsNameChar(Peek(1))) {
      ++m_pos;
      return "_";
    }
    if (Peek() == U'?') {
      ++m_pos;
      return "?";
    }
    const size_t start = m_pos;
    while (!AtEnd() && (IsNameChar(Peek()) || (Peek() == U':' && IsNameChar(Peek(1)) && m_pos > start))) ++m_pos;
    if (m_pos == start) {
      Fail("Variable reference is not valid. '$' was not followed by a valid variable name character.",
           "InvalidVariableReference");
    }
    return Utf8(m_text.substr(start, m_pos - start));
  }

  PsValue ReadNumber() {
    const size_t start = m_pos;
    bool isDouble = false;
    while (IsDigit(Peek())) ++m_pos;
    if (Peek() == U'.' && IsDigit(Peek(1))) {
      isDouble = true;
      ++m_pos;
      while (IsDigit(Peek())) ++m_pos;
    }
    if (IsNameChar(Peek())) Fail("Unexpected token '" + RestOfToken() + "' in expression or statement.", "UnexpectedToken");
    const std::string text = Utf8(m_text.substr(start, m_pos - start));
    if (!isDouble) {
      errno = 0;
      const long long value = std::strtoll(text.c_str(), nullptr, 10);
      if (errno == 0) return PsValue(static_cast<int64_t>(value));
    }
    return PsValue(std::strtod(text.c_str(), nullptr));
  }

  std::string ReadVerbatimString() {
    const size_t open = m_pos;
    ++m_pos;
    std::u32string out;
    while (true) {
      if (AtEnd()) Fail("The string is missing the terminator: '.", "TerminatorExpectedAtEndOfString", open);
      char32_t c = Next();
      if (IsSingleQuote(c)) {
        if (!IsSingleQuote(Peek())) break;
        c = Next();  // two quote characters stand for the second one
      }
      out += c;
    }
    return Utf8(out);
  }

  std::u32string m_text;
  size_t m_pos = 0;
};

}  // namespace winguest::ps
