#include "host/TerminalLines.h"

#include <cstdint>
#include <cstdio>

namespace {
// Carriage return, then "erase to end of line".
constexpr const char* kEraseLine = "\r\033[K";
constexpr const char* kLineUp = "\033[1A";

// The length of the valid UTF-8 sequence at `at` (2 to 4 bytes) and its code point; 0 when the
// bytes there are not a valid multi-byte sequence (a stray continuation byte, a truncated
// sequence, an overlong form, a surrogate, or a code point past U+10FFFF).
size_t Utf8Sequence(const std::string& text, size_t at, uint32_t& codePoint) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  size_t length = 0;
  uint32_t minimum = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
    minimum = 0x80;
    codePoint = lead & 0x1f;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    minimum = 0x800;
    codePoint = lead & 0x0f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    minimum = 0x10000;
    codePoint = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    const unsigned char next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xc0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (next & 0x3f);
  }
  if (codePoint < minimum || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff)) return 0;
  return length;
}

bool IsBidiControl(uint32_t codePoint) {
  return codePoint == 0x200e || codePoint == 0x200f || (codePoint >= 0x202a && codePoint <= 0x202e) ||
         (codePoint >= 0x2066 && codePoint <= 0x2069);
}

void AppendByteEscape(std::string& shown, unsigned char byte) {
  char escape[8];
  snprintf(escape, sizeof escape, "\\x%02x", byte);
  shown += escape;
}

}  // namespace

std::string PrintableText(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      if (byte < 0x20 || byte == 0x7f) {
        AppendByteEscape(shown, byte);
      } else if (byte == '\\' && (text.compare(i + 1, 1, "x") == 0 || text.compare(i + 1, 2, "u{") == 0)) {
        shown += "\\\\";  // a backslash that would read as the start of an escape
      } else {
        shown += static_cast<char>(byte);
      }
      ++i;
      continue;
    }
    uint32_t codePoint = 0;
    const size_t length = Utf8Sequence(text, i, codePoint);
    if (length == 0) {
      AppendByteEscape(shown, byte);
      ++i;
    } else if (codePoint <= 0x9f) {  // a C1 control: escaped byte by byte
      for (size_t j = 0; j < length; ++j) AppendByteEscape(shown, static_cast<unsigned char>(text[i + j]));
      i += length;
    } else if (IsBidiControl(codePoint)) {
      char escape[16];
      snprintf(escape, sizeof escape, "\\u{%04X}", static_cast<unsigned>(codePoint));
      shown += escape;
      i += length;
    } else {
      shown.append(text, i, length);
      i += length;
    }
  }
  return shown;
}

TerminalLines::TerminalLines(FILE* stream, bool showStatus) : m_stream(stream), m_showStatus(showStatus) {}

// A status of several lines (a plan's running jobs) is erased from its last line up.
void TerminalLines::EraseStatusLocked() {
  if (m_status.empty()) return;
  fputs(kEraseLine, m_stream);
  for (const char c : m_status) {
    if (c != '\n') continue;
    fputs(kLineUp, m_stream);
    fputs(kEraseLine, m_stream);
  }
}

void TerminalLines::WriteLine(const std::string& line) {
  std::lock_guard<std::mutex> guard(m_mutex);
  EraseStatusLocked();
  fputs(line.c_str(), m_stream);
  fputc('\n', m_stream);
  if (!m_status.empty()) fputs(m_status.c_str(), m_stream);
  fflush(m_stream);
}

void TerminalLines::WriteLineTo(FILE* other, const std::string& line) {
  std::lock_guard<std::mutex> guard(m_mutex);
  EraseStatusLocked();
  fflush(m_stream);
  fputs(line.c_str(), other);
  fputc('\n', other);
  fflush(other);
  if (!m_status.empty()) fputs(m_status.c_str(), m_stream);
  fflush(m_stream);
}

void TerminalLines::SetStatus(const std::string& status) {
  if (!m_showStatus) return;
  std::lock_guard<std::mutex> guard(m_mutex);
  EraseStatusLocked();
  m_status = status;
  fputs(m_status.c_str(), m_stream);
  fflush(m_stream);
}

void TerminalLines::ClearStatus() {
  std::lock_guard<std::mutex> guard(m_mutex);
  EraseStatusLocked();
  m_status.clear();
  fflush(m_stream);
}
