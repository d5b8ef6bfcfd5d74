#include "host/CommandWords.h"

#include <algorithm>
#include <set>

namespace {

const std::vector<std::string> kCommands = {"restore", "guest", "plan", "source"};
const std::vector<std::string> kSourceVerbs = {"browse"};
const std::vector<std::string> kGuestVerbs = {"browse", "mkdir", "put"};
// Options before a command word that take a value in the next argument.
const std::set<std::string> kOptionsWithValue = {"-j", "--job", "--plugin", "--vminfo", "--log", "--settings",
                                                  "--guest", "--guest-os", "--password-file", "--password-env"};

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string Complaint(const std::string& word, const std::vector<std::string>& known, const char* what) {
  const std::string closest = ClosestWord(word, known);
  std::string text = std::string("unknown ") + what + " [" + word + "]";
  if (!closest.empty()) return text + "; did you mean [" + closest + "]?";
  text += "; use one of";
  for (const std::string& candidate : known) text += " " + candidate;
  return text;
}

// Index of the first argument from `start` that is not an option or an option's value.
int FirstWord(int argc, const char* const* argv, int start) {
  for (int i = start; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.empty() || argument[0] != '-') return i;
    if (kOptionsWithValue.count(argument) != 0) ++i;
  }
  return argc;
}

}  // namespace

std::string ClosestWord(const std::string& word, const std::vector<std::string>& known) {
  std::string best;
  size_t bestDistance = 3;
  for (const std::string& candidate : known) {
    const size_t distance = EditDistance(word, candidate);
    if (distance < bestDistance && distance < word.size()) {
      best = candidate;
      bestDistance = distance;
    }
  }
  return best;
}

std::string UnknownCommandWord(int argc, const char* const* argv) {
  const int command = FirstWord(argc, argv, 1);
  if (command >= argc) return "";
  const std::string word = argv[command];
  if (std::find(kCommands.begin(), kCommands.end(), word) == kCommands.end()) {
    return Complaint(word, kCommands, "command");
  }
  if (word != "guest" && word != "source") return "";
  const std::vector<std::string>& verbs = word == "guest" ? kGuestVerbs : kSourceVerbs;
  const int verb = FirstWord(argc, argv, command + 1);
  if (verb >= argc) return "";
  const std::string verbWord = argv[verb];
  if (std::find(verbs.begin(), verbs.end(), verbWord) == verbs.end()) {
    return Complaint(verbWord, verbs, word == "guest" ? "guest command" : "source command");
  }
  return "";
}
