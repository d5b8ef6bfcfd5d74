// What zqrestore prints entry by entry: the lines of --list as a restore goes, and the plan of
// --dry-run with its summary.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "host/GuestPreview.h"
#include "host/JobFile.h"
#include "host/ProgressDisplay.h"
#include "host/RestoreJob.h"
#include "host/SecretMask.h"
#include "host/TerminalLines.h"

// One line of "source browse": kind letter, permission bits, owner, group, size, modification time
// (UTC), the name, and why the entry would not be restored: "f 0644 0 0 12 2020-09-13 12:26:40  a.txt".
std::string FormatSourceEntry(const SourceEntry& entry);
// "restored  PATH", "kept      PATH (WHY)", "failed    PATH: CAUSE: REASON" (no CAUSE when the
// reason tells none), "skipped   PATH: KIND".
std::string EntryLine(EntryOutcome outcome, const std::string& path, const std::string& reason);
// "restore   PATH", "keep      PATH (REASON)", "refuse    PATH: REASON".
std::string PreviewLine(const PreviewEntry& preview);

// Feeds the progress line with the entry in flight and, with `list`, prints one line per entry on
// standard output (with the status line out of the way). Reasons are masked.
class EntryReporter : public EntryObserver {
 public:
  // `lines`: where the per-entry lines go (standard output, or standard error when standard output
  // carries the JSON summary).
  EntryReporter(std::shared_ptr<TerminalLines> terminal, ProgressDisplay* progress, bool list, const SecretMask& mask,
                FILE* lines = stdout);
  void EntryStarting(const SourceEntry& entry) override;
  void EntryFinished(const SourceEntry& entry, EntryOutcome outcome, const std::string& reason) override;

 private:
  std::shared_ptr<TerminalLines> m_terminal;
  ProgressDisplay* m_progress;
  bool m_list;
  const SecretMask& m_mask;
  FILE* m_lines;
};

struct PreviewCounts {
  uint64_t restoreFiles = 0;
  uint64_t restoreFolders = 0;
  uint64_t restoreBytes = 0;
  uint64_t keep = 0;
  uint64_t refuse = 0;
  uint64_t skip = 0;
};
PreviewCounts CountPreview(const std::vector<PreviewEntry>& previews);

// The summary of a dry run whose checks passed, with the warnings the real run would give.
std::string RenderDryRunText(const JobFile& job, const std::vector<PreviewEntry>& previews, const RestoreReport& check,
                             const SecretMask& mask, const std::vector<std::string>& warnings = {});
nlohmann::json RenderDryRunJson(const JobFile& job, const std::vector<PreviewEntry>& previews,
                                const RestoreReport& check, const SecretMask& mask,
                                const std::vector<std::string>& warnings = {});
