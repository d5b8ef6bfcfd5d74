#include "guestapi/WinQuote.h"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <boost/locale/encoding_utf.hpp>

#include <vector>

namespace WinQuote {

namespace {

// Length of the UTF-8 sequence of a single-quote character PowerShell knows at `i`, or 0.
size_t PowerShellQuoteAt(const std::string& text, size_t i) {
  if (text[i] == '\'') return 1;
  if (i + 2 < text.size() && static_cast<unsigned char>(text[i]) == 0xE2 &&
      static_cast<unsigned char>(text[i + 1]) == 0x80) {
    const unsigned char last = static_cast<unsigned char>(text[i + 2]);
    if (last >= 0x98 && last <= 0x9B) return 3;  // U+2018 to U+201B
  }
  return 0;
}

bool IsShellSpecialInDoubleQuotes(char c) { return c == '$' || c == '`' || c == '"' || c == '\\' || c == '\n'; }

bool IsValidUtf8(const std::string& text) {
  try {
    boost::locale::conv::utf_to_utf<char32_t>(text, boost::locale::conv::stop);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

std::string PowerShellQuoteContent(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size();) {
    const size_t quote = PowerShellQuoteAt(text, i);
    if (quote) {
      out.append(text, i, quote);
      out.append(text, i, quote);
      i += quote;
    } else {
      out += text[i++];
    }
  }
  return out;
}

std::string ShellDoubleQuoteEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\') {
      const bool escapes = i + 1 == text.size() || IsShellSpecialInDoubleQuotes(text[i + 1]);
      out += escapes ? "\\\\" : "\\";
    } else if (c == '$' || c == '`' || c == '"') {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  return out;
}

bool PassesCmdLineUnchanged(const std::string& text) {
  if (text.find_first_of("%&^|<>\"\t") != std::string::npos) return false;
  return text.find("  ") == std::string::npos;
}

bool EncodePowerShellCommand(const std::string& script, std::string& encoded) {
  std::u16string utf16;
  try {
    utf16 = boost::locale::conv::utf_to_utf<char16_t>(script, boost::locale::conv::stop);
  } catch (const std::exception&) {
    return false;
  }
  std::string bytes;
  bytes.reserve(utf16.size() * 2);
  for (char16_t unit : utf16) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  using namespace boost::archive::iterators;
  using Encoder = base64_from_binary<transform_width<std::string::const_iterator, 6, 8>>;
  encoded.assign(Encoder(bytes.begin()), Encoder(bytes.end()));
  encoded.append((3 - bytes.size() % 3) % 3, '=');
  return true;
}

std::string WindowsPathProblem(const std::string& path) {
  if (!IsValidUtf8(path)) return "is not valid UTF-8";
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7F) return "holds a control character";
    if (c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*') {
      return "holds a character Windows does not allow in names (< > \" | ? *)";
    }
  }
  std::vector<std::string> names;
  boost::algorithm::split(names, path, boost::algorithm::is_any_of("\\/"));
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    const bool isDrive = i == 0 && name.size() == 2 && name[1] == ':';
    if (!isDrive && name.find(':') != std::string::npos) return "holds a \":\" outside the drive";
    if (name.empty() || name == "." || name == ".." || isDrive) continue;
    if (name.back() == ' ' || name.back() == '.') return "has a name ending in a blank or a dot";
  }
  return "";
}

bool NeedsLiteralPath(const std::string& path) { return path.find_first_of("[]`") != std::string::npos; }

}  // namespace WinQuote
