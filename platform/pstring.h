// Protected passwords of the host framework. A password travels in the restore options as a
// `pstring`, which keeps it masked; `getPlainPassword` hands out a `bstring`, the only holder of
// the plain text, which wipes its bytes when released. Neither type can be written to a stream.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// Plain text of a password, held in memory only for as long as the caller keeps this object.
class bstring {
 public:
  bstring() = default;
  explicit bstring(const std::string& plain);
  bstring(const bstring& other);
  bstring(bstring&& other) noexcept;
  bstring& operator=(const bstring& other);
  bstring& operator=(bstring&& other) noexcept;
  ~bstring();

  const std::string& str() const { return m_plain; }
  bool empty() const { return m_plain.empty(); }

 private:
  friend class pstring;
  std::string m_plain;
};

// A password kept XOR-masked with a per-object key, so that the plain text is not lying in
// memory between uses. Copies carry their own key.
class pstring {
 public:
  pstring() = default;
  explicit pstring(const std::string& plain);
  pstring(const pstring& other);
  pstring(pstring&& other) noexcept;
  pstring& operator=(const pstring& other);
  pstring& operator=(pstring&& other) noexcept;
  ~pstring();

  bstring getPlainPassword() const;
  bool empty() const { return m_masked.empty(); }

 private:
  void Assign(const std::string& plain);
  void Clear();

  std::vector<unsigned char> m_masked;
  std::vector<unsigned char> m_key;
};

// Overwrites the whole buffer of `text` (its capacity, not only its size) and empties it.
void WipeString(std::string& text);

// Wipes a working copy of a password with WipeString when the scope ends, however it ends.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::string& secret) : m_secret(secret) {}
  ~WipeOnExit() { WipeString(m_secret); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  std::string& m_secret;
};

// Secrets are values to handle, never to print.
std::ostream& operator<<(std::ostream&, const bstring&) = delete;
std::ostream& operator<<(std::ostream&, const pstring&) = delete;
