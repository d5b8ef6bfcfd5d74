// Bounded reading of the texts that come from outside the process: job files, the inventory, the
// application configuration, restore options, the settings. Every such text has a size limit,
// checked while it is read into memory, and every JSON text a nesting limit, checked while it is
// parsed and before anything walks the tree, so that a hostile or broken file ends in a clear
// error instead of exhausting memory or the stack.
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json_fwd.hpp>

struct JsonLimits {
  size_t maxBytes;  // longest accepted text
  int maxDepth;     // most objects and arrays nested in one another; the outermost counts as 1
};

// The nesting limit of every JSON input of the product: far above what any of the formats uses
// (at most six levels), far below what would strain the stack of a reader that recurses.
constexpr int kJsonMaxDepth = 64;

// Parses `text` into `document`. False with `error` when the text is longer than
// `limits.maxBytes` ("larger than N bytes"), nests objects and arrays deeper than
// `limits.maxDepth` ("nested deeper than N levels") or is not JSON ("not valid JSON at
// line L, column C"; no part of the text is quoted, as it may hold a password). The text is scanned once
// and nothing beyond the depth limit is kept, however deep the input goes.
bool ParseJsonWithLimits(const std::string& text, const JsonLimits& limits, nlohmann::json& document,
                         std::string& error);

// Reads the whole file at `path` into `text`, refusing one longer than `maxBytes` without reading
// much past the limit (so a device or pipe that never ends cannot exhaust memory). Works for
// pipes and devices as for regular files. False with `text` empty and `error` set: "cannot be
// opened", "cannot be read" or "larger than N bytes". Text read before a failure is wiped, as
// the file may hold a password.
bool ReadFileWithLimit(const std::string& path, size_t maxBytes, std::string& text, std::string& error);
