#include "host/EntryListing.h"

#include <cstdio>
#include <ctime>
#include <sstream>

#include <nlohmann/json.hpp>

#include "host/HumanUnits.h"
#include "host/JobSummary.h"

namespace {

const char* PreviewWord(PreviewOutcome outcome) {
  switch (outcome) {
    case PreviewOutcome::Restore:
      return "restore";
    case PreviewOutcome::Keep:
      return "keep";
    case PreviewOutcome::Refuse:
      return "refuse";
    case PreviewOutcome::Skip:
      return "skip";
  }
  return "?";
}

std::string Padded(const char* word) {
  std::string text = word;
  text.resize(10, ' ');
  return text;
}

char KindLetter(const SourceEntry& entry) {
  const mode_t type = entry.info.st_mode & S_IFMT;
  if (type == S_IFDIR) return 'd';
  if (type == S_IFREG) return 'f';
  if (type == S_IFLNK) return 'l';
  if (type == S_IFIFO) return 'p';
  if (type == S_IFSOCK) return 's';
  if (type == S_IFCHR || type == S_IFBLK) return 'c';
  return '?';
}

}  // namespace

std::string FormatSourceEntry(const SourceEntry& entry) {
  char stamp[32] = "-";
  const time_t modified = entry.info.st_mtime;
  tm utc{};
  if (gmtime_r(&modified, &utc) != nullptr) strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);
  char line[128];
  snprintf(line, sizeof line, "%c %04o %6u %6u %12lld %s  ", KindLetter(entry),
           static_cast<unsigned>(entry.info.st_mode) & 07777u, static_cast<unsigned>(entry.info.st_uid),
           static_cast<unsigned>(entry.info.st_gid), static_cast<long long>(entry.info.st_size), stamp);
  std::string text = line + PrintableText(entry.relativePath);
  if (!entry.problem.empty()) text += "  (not restored: " + PrintableText(entry.problem) + ")";
  return text;
}

std::string EntryLine(EntryOutcome outcome, const std::string& path, const std::string& reason) {
  std::string line = Padded(EntryOutcomeName(outcome)) + PrintableText(path);
  if (reason.empty()) return line;
  if (outcome == EntryOutcome::Kept) return line + " (" + PrintableText(reason) + ")";
  if (outcome == EntryOutcome::Skipped) return line + ": " + PrintableText(reason);
  const std::string cause = FailureCause(reason);
  return line + ": " + (cause.empty() ? "" : cause + ": ") + PrintableText(reason);
}

std::string PreviewLine(const PreviewEntry& preview) {
  std::string line = Padded(PreviewWord(preview.outcome)) + PrintableText(preview.entry->relativePath);
  if (preview.outcome == PreviewOutcome::Keep) line += " (" + PrintableText(preview.reason) + ")";
  if (preview.outcome == PreviewOutcome::Refuse || preview.outcome == PreviewOutcome::Skip) {
    line += ": " + PrintableText(preview.reason);
  }
  return line;
}

EntryReporter::EntryReporter(std::shared_ptr<TerminalLines> terminal, ProgressDisplay* progress, bool list,
                             const SecretMask& mask, FILE* lines)
    : m_terminal(std::move(terminal)), m_progress(progress), m_list(list), m_mask(mask), m_lines(lines) {}

void EntryReporter::EntryStarting(const SourceEntry& entry) {
  if (m_progress != nullptr) m_progress->EntryStarting(entry.relativePath);
}

void EntryReporter::EntryFinished(const SourceEntry& entry, EntryOutcome outcome, const std::string& reason) {
  if (m_list) m_terminal->WriteLineTo(m_lines, EntryLine(outcome, entry.relativePath, m_mask.Apply(reason)));
}

PreviewCounts CountPreview(const std::vector<PreviewEntry>& previews) {
  PreviewCounts counts;
  for (const PreviewEntry& preview : previews) {
    switch (preview.outcome) {
      case PreviewOutcome::Restore:
        if (preview.entry->kind == EntryKind::Folder) {
          ++counts.restoreFolders;
        } else {
          ++counts.restoreFiles;
          counts.restoreBytes += static_cast<uint64_t>(preview.entry->info.st_size);
        }
        break;
      case PreviewOutcome::Keep:
        ++counts.keep;
        break;
      case PreviewOutcome::Refuse:
        ++counts.refuse;
        break;
      case PreviewOutcome::Skip:
        ++counts.skip;
        break;
    }
  }
  return counts;
}

std::string RenderDryRunText(const JobFile& job, const std::vector<PreviewEntry>& previews, const RestoreReport& check,
                             const SecretMask& /*mask*/, const std::vector<std::string>& warnings) {
  const PreviewCounts counts = CountPreview(previews);
  std::ostringstream out;
  out << "Dry run into VM [" << PrintableText(job.vmName) << "] folder [" << PrintableText(check.guestFolder)
      << "]: nothing was changed\n";
  out << "  restore     " << counts.restoreFiles + counts.restoreFolders << " entries: " << counts.restoreFiles
      << " files (" << FormatBytes(counts.restoreBytes) << "), " << counts.restoreFolders << " folders\n";
  out << "  keep        " << counts.keep << " entries (the guest's copy would be left alone)\n";
  out << "  refuse      " << counts.refuse << " entries\n";
  if (counts.skip > 0) out << "  skip        " << counts.skip << " entries (links, devices, pipes and sockets)\n";
  for (const std::string& warning : warnings) out << "  warning     " << PrintableText(warning) << "\n";
  out << LogLine(check);
  return out.str();
}

nlohmann::json RenderDryRunJson(const JobFile& job, const std::vector<PreviewEntry>& previews,
                                const RestoreReport& check, const SecretMask& mask,
                                const std::vector<std::string>& warnings) {
  using nlohmann::json;
  const PreviewCounts counts = CountPreview(previews);
  json entries = json::array();
  for (const PreviewEntry& preview : previews) {
    entries.push_back({{"path", preview.entry->relativePath},
                       {"action", PreviewWord(preview.outcome)},
                       {"reason", mask.Apply(preview.reason)}});
  }
  return json{{"vmName", job.vmName},
              {"guestFolder", check.guestFolder},
              {"outcome", "dry run"},
              {"exitStatus", counts.refuse == 0 ? 0 : 1},
              // The real run's names: what it would restore, keep and fail.
              {"restoredFiles", counts.restoreFiles},
              {"restoredFolders", counts.restoreFolders},
              {"bytesRestored", counts.restoreBytes},
              {"kept", counts.keep},
              {"failed", counts.refuse},
              {"skipped", counts.skip},
              {"entries", entries},
              {"warnings", warnings},
              {"logFile", check.logFile}};
}
