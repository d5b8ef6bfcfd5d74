#include "platform/pstring.h"

#include <string.h>

#include <random>
#include <utility>

void WipeString(std::string& text) {
  if (text.capacity() > 0) {
    explicit_bzero(text.data(), text.capacity());
  }
  text.clear();
}

namespace {

void WipeBytes(std::vector<unsigned char>& bytes) {
  if (!bytes.empty()) {
    explicit_bzero(bytes.data(), bytes.size());
  }
  bytes.clear();
}

std::vector<unsigned char> RandomKey(size_t length) {
  static thread_local std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<int> byte(1, 255);
  std::vector<unsigned char> key(length);
  for (unsigned char& value : key) {
    value = static_cast<unsigned char>(byte(generator));
  }
  return key;
}

}  // namespace

bstring::bstring(const std::string& plain) : m_plain(plain) {}

bstring::bstring(const bstring& other) : m_plain(other.m_plain) {}

// A moved-from std::string may keep its buffer (short strings live inside the object), so the
// source is wiped explicitly instead of relying on the move.
bstring::bstring(bstring&& other) noexcept : m_plain(other.m_plain) { WipeString(other.m_plain); }

bstring& bstring::operator=(const bstring& other) {
  if (this != &other) {
    WipeString(m_plain);
    m_plain = other.m_plain;
  }
  return *this;
}

bstring& bstring::operator=(bstring&& other) noexcept {
  if (this != &other) {
    WipeString(m_plain);
    m_plain = other.m_plain;
    WipeString(other.m_plain);
  }
  return *this;
}

bstring::~bstring() { WipeString(m_plain); }

pstring::pstring(const std::string& plain) { Assign(plain); }

pstring::pstring(const pstring& other) { Assign(other.getPlainPassword().str()); }

pstring::pstring(pstring&& other) noexcept : m_masked(std::move(other.m_masked)), m_key(std::move(other.m_key)) {
  other.Clear();
}

pstring& pstring::operator=(const pstring& other) {
  if (this != &other) {
    Assign(other.getPlainPassword().str());
  }
  return *this;
}

pstring& pstring::operator=(pstring&& other) noexcept {
  if (this != &other) {
    Clear();
    m_masked = std::move(other.m_masked);
    m_key = std::move(other.m_key);
    other.Clear();
  }
  return *this;
}

pstring::~pstring() { Clear(); }

bstring pstring::getPlainPassword() const {
  // Unmasked straight into the result, so that no other buffer ever holds the plain text.
  bstring result;
  result.m_plain.resize(m_masked.size());
  for (size_t i = 0; i < m_masked.size(); ++i) {
    result.m_plain[i] = static_cast<char>(m_masked[i] ^ m_key[i]);
  }
  return result;
}

void pstring::Assign(const std::string& plain) {
  Clear();
  m_key = RandomKey(plain.size());
  m_masked.resize(plain.size());
  for (size_t i = 0; i < plain.size(); ++i) {
    m_masked[i] = static_cast<unsigned char>(plain[i]) ^ m_key[i];
  }
}

void pstring::Clear() {
  WipeBytes(m_masked);
  WipeBytes(m_key);
}
