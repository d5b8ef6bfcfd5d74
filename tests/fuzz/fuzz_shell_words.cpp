// Command lines read back without a shell (ShellWords). Whatever it reads must survive a second
// trip: quoting the words again and reading that line gives the same words and input file.
#include "FuzzSupport.h"
#include "toolscontract/ShellQuote.h"
#include "toolscontract/ShellWords.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line = zqfuzz::Text(data, size);
  ShellWords::CommandLine parsed;
  if (!ShellWords::Split(line, parsed)) return 0;
  ZQFUZZ_CHECK(!parsed.words.empty());
  std::string again;
  for (const std::string& word : parsed.words) {
    ZQFUZZ_CHECK(word.find('\0') == std::string::npos);
    again += (again.empty() ? "" : " ") + ShellQuote::SingleQuoted(word);
  }
  if (!parsed.inputFile.empty()) again += " < " + ShellQuote::Word(parsed.inputFile);
  if (again.size() > ShellWords::kMaxLineBytes) return 0;
  ShellWords::CommandLine reread;
  ZQFUZZ_CHECK(ShellWords::Split(again, reread));
  ZQFUZZ_CHECK(reread.words == parsed.words && reread.inputFile == parsed.inputFile);
  return 0;
}
