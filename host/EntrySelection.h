// Which entries of the source tree a restore takes: --include and --exclude rules with rsync's
// glob rules (docs/zqrestore.md, "Selecting entries").
#pragma once

#include <string>
#include <vector>

#include "host/SourceTree.h"

struct SelectionRule {
  bool include = false;  // --include; otherwise --exclude
  std::string pattern;
};

// Whether `pattern` matches the entry at `relativePath` ("/"-separated, below the source):
// - "*" and "?" match within one name, "[...]" is a class; a pattern holding "**" lets "*" match
//   across "/" too;
// - a trailing "/" matches folders only;
// - a leading "/" anchors the pattern at the source folder; any other pattern is matched against
//   the end of the path at a name boundary ("*.log" and "cache/*.tmp" match at any depth).
bool PatternMatches(const std::string& pattern, const std::string& relativePath, bool isFolder);

// Whether the entry is taken: the first rule whose pattern matches decides; no match takes it.
bool IsSelected(const std::vector<SelectionRule>& rules, const std::string& relativePath, bool isFolder);

// Removes the entries the rules do not take, and everything below a folder they do not take, and
// recounts the tree's totals. No rules: every entry stays.
void SelectEntries(const std::vector<SelectionRule>& rules, SourceTree& tree);
