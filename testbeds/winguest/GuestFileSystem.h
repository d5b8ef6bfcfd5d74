// The guest's drives, held in a folder of this machine: C:\ is <root>/C. Paths are read the way
// Windows reads them: "\" and "/" both separate, names compare without regard to letter case,
// "." and ".." are resolved, trailing dots and blanks of a name are dropped, and the characters
// Windows forbids in names are refused. Times are a file's own; creation times, which this
// machine cannot set, are kept in a state file beside the configuration.
//
// A symbolic link of this machine below the root is a reparse point of the guest: a link to a
// folder plays a junction, a link to a file a file symbolic link. They behave as on Windows:
// opening a path follows them wherever they stand; an item found or listed at a link's own name
// is the link (attribute ReparsePoint, the link's own times, length 0); setting a time on it
// goes through to the target, as .NET's setters do; a rename over a file link replaces the link,
// while one over a folder (a junction included) is refused.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace winguest {

struct WindowsPath {
  char drive = 'C';                     // upper case
  std::vector<std::string> components;  // no empty, "." or ".." components

  std::string Text() const;  // C:\a\b, or C:\ for a drive's root
  std::string Name() const;  // the last component, or C:\ for a drive's root
  bool IsRoot() const { return components.empty(); }
  WindowsPath Parent() const;
  WindowsPath Child(const std::string& name) const;
};

struct GuestItem {
  WindowsPath path;
  std::filesystem::path host;
  bool isDirectory = false;    // a folder, or a link to one
  bool isReparsePoint = false;  // the name itself is a link
};

// The FileAttributes flags Windows reports (System.IO.FileAttributes).
enum FileAttributeFlags : int64_t {
  kAttributeReadOnly = 0x1,
  kAttributeHidden = 0x2,
  kAttributeSystem = 0x4,
  kAttributeDirectory = 0x10,
  kAttributeArchive = 0x20,
  kAttributeNormal = 0x80,
  kAttributeReparsePoint = 0x400,
};

// PowerShell's wildcard patterns: * ? [set] [a-z], ` escapes; letter case ignored.
class WildcardPattern {
 public:
  static bool HasWildcards(const std::string& text);  // an unescaped * ? or [
  // False when the pattern is malformed (an unclosed "[").
  static bool IsValid(const std::string& pattern);
  static bool Matches(const std::string& pattern, const std::string& text);
  static std::string Unescape(const std::string& text);
};

class GuestFileSystem {
 public:
  // `currentLocation` is where relative paths start (the login's profile folder).
  GuestFileSystem(std::filesystem::path root, WindowsPath currentLocation, std::string stateFile);

  // Reads a literal path. False with the message Windows gives for UNC paths, forbidden
  // characters or a ":" inside a name.
  bool Parse(const std::string& text, WindowsPath& path, std::string& error) const;
  bool DriveExists(char drive) const;
  std::vector<char> Drives() const;

  // The item at `path`, if there is one.
  std::optional<GuestItem> Find(const WindowsPath& path) const;
  // Every existing item that the wildcard pattern matches. False with a message for a malformed
  // pattern or a missing drive; true with no matches when nothing matches.
  bool Expand(const std::string& pattern, std::vector<GuestItem>& matches, std::string& error) const;
  // The children of a folder, in the order Windows lists them (by name, letter case ignored).
  std::vector<GuestItem> Children(const GuestItem& folder) const;

  // Where `path` lies on this machine: existing components as they are spelled here.
  std::filesystem::path HostPath(const WindowsPath& path) const;

  bool CreateDirectory(const WindowsPath& path, std::string& error);
  bool CreateFile(const WindowsPath& path, std::string& error);
  bool Remove(const GuestItem& item, bool recurse, std::string& error);
  // Writes `content` to the file at `path`; its folder must exist.
  bool WriteFile(const WindowsPath& path, const std::string& content, std::string& error);
  // Writes `content` as an SFTP upload to a temporary name in the target's folder followed by a
  // rename over the target: the target changes completely or not at all. At most `freeBytes`
  // bytes fit on the volume (none given: no limit); a larger file fails with "disk full" after
  // filling the temporary file, which is then removed. A folder at the target refuses the rename.
  bool ReplaceFile(const WindowsPath& path, const std::string& content, const std::optional<int64_t>& freeBytes,
                   std::string& error);

  // Move-Item: renames `item` to `to`, or into `to` when that is a folder. An existing file there
  // is replaced only with `force` (a file link is replaced itself). The rename reaches `to` as
  // Windows does, through any junction on the way.
  bool Move(const GuestItem& item, const WindowsPath& to, bool force, std::string& error);
  // Copy-Item of a file: Windows' CopyFile reads `item` through a link at its name and writes
  // `to` (into it when it is a folder, through a link there), replacing a file there; the copy
  // keeps the source's write time. At most `freeBytes` bytes fit (none given: no limit); a larger
  // file fails with "disk full" and, stricter than Windows, leaves what was written in place.
  bool Copy(const GuestItem& item, const WindowsPath& to, const std::optional<int64_t>& freeBytes, std::string& error);
  // Plays a guest user who, at `moment` ("upload", "rename", "renamed"), renames `folder` to
  // "<name>.moved" and puts a junction to `link` at its name; nothing when it already is a link.
  // At "replaced", once Move-Item has moved a file, another file of another length but the same
  // write time takes its name (once).
  void SwapAt(const std::string& moment, const std::string& folder, const std::string& link);
  // FileAttributes of an item.
  int64_t Attributes(const GuestItem& item) const;
  // "Junction" for a link to a folder, "SymbolicLink" for a link to a file, "" otherwise.
  std::string LinkType(const GuestItem& item) const;

  int64_t Length(const GuestItem& item) const;
  // File times in seconds since 1970 UTC.
  int64_t LastWriteTime(const GuestItem& item) const;
  int64_t LastAccessTime(const GuestItem& item) const;
  int64_t CreationTime(const GuestItem& item) const;
  bool SetLastWriteTime(const GuestItem& item, int64_t utcSeconds, std::string& error);
  bool SetLastAccessTime(const GuestItem& item, int64_t utcSeconds, std::string& error);
  bool SetCreationTime(const GuestItem& item, int64_t utcSeconds, std::string& error);

 private:
  std::map<std::string, int64_t> LoadCreationTimes() const;
  void SaveCreationTimes(const std::map<std::string, int64_t>& times) const;
  bool SplitPath(const std::string& text, WindowsPath& path, std::vector<std::string>& raw, std::string& error) const;

  void SwapIfDue(const char* moment);

  std::filesystem::path m_root;
  std::string m_swapMoment;
  std::string m_swapFolder;
  std::string m_swapLink;
  WindowsPath m_current;
  std::string m_stateFile;
};

}  // namespace winguest
