// A source that is a folder on the proxy (or one regular file in it), read in place.
#pragma once

#include <string>

#include "host/SourceReader.h"

class FolderSource : public SourceReader {
 public:
  explicit FolderSource(std::string path) : m_path(std::move(path)) {}
  // For a tree walked already with `root` its folder (WalkSourceTree, WalkSource).
  static FolderSource ForWalkedRoot(std::string root);

  std::string Kind() const override { return m_singleFile ? "file" : "folder"; }
  bool Walk(const std::string& sourcePath, SourceTree& tree, std::string& error) override;
  // Opens the entry without following a link at its name and copies what the opened file holds;
  // `info` is that file's own attributes, examined after opening.
  bool CopyContent(const SourceEntry& entry, int out, struct stat& info, std::string& error) override;

 private:
  std::string m_path;
  std::string m_root;  // the folder the entries' names are relative to
  bool m_singleFile = false;
};
