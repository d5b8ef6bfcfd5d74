// Reading back a command line that ShellQuote's words make up, exactly as /bin/sh would read it,
// so that a command can be carried out without a shell. Only the plain part of the shell language
// is understood: blanks between words, single quotes, double quotes (with \ before $ ` " \),
// a backslash before one byte, and one "< FILE" redirection of standard input. Anything else a
// shell would give meaning to (expansions, globs, other redirections, pipes, comments, variable
// assignments, line breaks) makes the line unreadable here: such a line must go to a real shell.
#pragma once

#include <string>
#include <vector>

namespace ShellWords {

// Longest command line read.
constexpr size_t kMaxLineBytes = 1 << 20;

struct CommandLine {
  std::vector<std::string> words;  // the command's words, the redirection taken out
  std::string inputFile;           // the file of "< FILE"; empty when standard input is not redirected
};

// Splits `line` into words as /bin/sh does. False when the line holds anything outside the plain
// part described above, has no word, or is longer than kMaxLineBytes; `parsed` is then unspecified.
bool Split(const std::string& line, CommandLine& parsed);

}  // namespace ShellWords
