// Quoting of words for the shells that read our command lines: the proxy's /bin/sh (the command
// runner) and a POSIX shell in the guest. Every builder of a command line takes its words from
// here and never pastes a path into a command by hand.
#pragma once

#include <string>

namespace ShellQuote {

// True when a shell word can carry `text` byte for byte. Only the NUL byte cannot be carried: no
// command line, argument vector or file name can hold it.
bool IsCarriable(const std::string& text);

// `text` in single quotes; each single quote inside becomes '\'' (close, escaped quote, reopen).
// A POSIX shell reads the result back as exactly `text`. A text without a single quote gains only
// the two surrounding quotes.
std::string SingleQuoted(const std::string& text);

// `text` in double quotes, each of $ ` " \ preceded by a backslash, the four characters a POSIX
// shell still interprets inside double quotes. A text without them gains only the two quotes.
std::string DoubleQuoted(const std::string& text);

// `text` itself when it is not empty and every byte is one no shell treats specially (letters,
// digits and % + , - . / : = @ _), otherwise SingleQuoted(text). Keeps ordinary user names,
// addresses and folders as they are on a command line.
std::string Word(const std::string& text);

}  // namespace ShellQuote
