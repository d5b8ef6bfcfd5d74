// The command words of zqrestore ("restore", "guest" and the guest verbs) and a suggestion for a
// mistyped one, before the command line parser would only say that an argument was not expected.
#pragma once

#include <string>
#include <vector>

// The known word closest to `word` (at most two edits away, and fewer than its length), or empty.
std::string ClosestWord(const std::string& word, const std::vector<std::string>& known);

// "unknown command [restor]; did you mean [restore]?" when the command word, or the verb after
// "guest", is not one zqrestore knows; empty otherwise (also when there is none: the parser
// reports that).
std::string UnknownCommandWord(int argc, const char* const* argv);
