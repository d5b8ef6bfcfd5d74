#include "platform/InputLimits.h"

#include <string.h>

#include <algorithm>
#include <fstream>

#include <nlohmann/json.hpp>

#include "platform/pstring.h"

namespace {

std::string LargerThan(size_t maxBytes) { return "larger than " + std::to_string(maxBytes) + " bytes"; }

// "at line L, column C" of the character before `byte`, the parser's 1-based count of the bytes
// it read up to and including the fault.
std::string TextPosition(const std::string& text, size_t byte) {
  const size_t end = std::min(byte > 0 ? byte - 1 : 0, text.size());
  size_t line = 1;
  size_t lineStart = 0;
  for (size_t i = 0; i < end; ++i) {
    if (text[i] == '\n') {
      ++line;
      lineStart = i + 1;
    }
  }
  return "at line " + std::to_string(line) + ", column " + std::to_string(end - lineStart + 1);
}

}  // namespace

bool ParseJsonWithLimits(const std::string& text, const JsonLimits& limits, nlohmann::json& document,
                         std::string& error) {
  if (text.size() > limits.maxBytes) {
    error = LargerThan(limits.maxBytes);
    return false;
  }
  // The parser itself keeps its nesting on the heap; the callback keeps the tree from growing
  // past the limit. `depth` is the number of containers already open around the one starting.
  bool tooDeep = false;
  const nlohmann::json::parser_callback_t limitDepth = [&](int depth, nlohmann::json::parse_event_t event,
                                                           nlohmann::json&) {
    const bool opens = event == nlohmann::json::parse_event_t::object_start ||
                       event == nlohmann::json::parse_event_t::array_start;
    if (opens && depth >= limits.maxDepth) tooDeep = true;
    return !tooDeep;
  };
  const std::string tooDeepError = "nested deeper than " + std::to_string(limits.maxDepth) + " levels";
  try {
    nlohmann::json parsed = nlohmann::json::parse(text, limitDepth);
    if (tooDeep) {
      error = tooDeepError;
      return false;
    }
    document = std::move(parsed);
    return true;
  } catch (const nlohmann::json::parse_error& fault) {
    // The nesting limit was passed before the fault, which may lie much later in the text. The
    // library's own text quotes the bytes it last read, which may be part of a password.
    error = tooDeep ? tooDeepError : "not valid JSON " + TextPosition(text, fault.byte);
    return false;
  } catch (const nlohmann::json::exception&) {
    error = tooDeep ? tooDeepError : "not valid JSON";
    return false;
  }
}

bool ReadFileWithLimit(const std::string& path, size_t maxBytes, std::string& text, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot be opened";
    return false;
  }
  // The file may hold a password: on failure what was read is wiped from the buffers here.
  text.clear();
  char buffer[16384];
  bool fits = true;
  while (fits && file) {
    file.read(buffer, sizeof buffer);
    const size_t got = static_cast<size_t>(file.gcount());
    fits = text.size() + got <= maxBytes;
    if (fits) text.append(buffer, got);
  }
  explicit_bzero(buffer, sizeof buffer);
  if (!fits || file.bad()) {
    WipeString(text);
    text.clear();
    error = fits ? "cannot be read" : LargerThan(maxBytes);
    return false;
  }
  return true;
}
