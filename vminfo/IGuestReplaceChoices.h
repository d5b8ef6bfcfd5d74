// An extension that a guest channel or a VM-information component may offer beside its interface
// (IGuestAPI, IVMInfo): replace-or-keep by content, and a backup of a replaced guest file. A caller
// asks for it with dynamic_cast; an object without it supports neither choice. Integer results:
// nonzero means success.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct GuestCtx;

class IGuestReplaceChoices {
 public:
  // Most guest files one HashGuestFiles request may name; a longer list fails unasked.
  static constexpr size_t kMaxHashBatch = 16;
  // Why a HashGuestFiles request naming `count` files is refused (none, or more than the batch
  // bound); empty when it is taken. Every channel and component applies this one rule.
  static std::string HashBatchProblem(size_t count) {
    if (count >= 1 && count <= kMaxHashBatch) return "";
    return "A digest request names " + std::to_string(count) + " files; 1 to " + std::to_string(kMaxHashBatch) +
           " are taken";
  }

  // The SHA-256 digest of each guest file in `guestFiles`, in order, as 64 lower-case hexadecimal
  // digits, computed in the guest; an empty digest for a path that holds no regular file (nothing,
  // a link, a folder). Links below the destination are never followed on the way or at the name.
  // 0 (and `digests` empty) when the guest gave no valid answer for every path.
  virtual int HashGuestFiles(const GuestCtx& ctx, const std::vector<std::string>& guestFiles,
                             std::vector<std::string>& digests) = 0;
  // From now on, a file copy that replaces a regular guest file first keeps the old file beside it
  // under its name followed by `suffix` (an empty suffix: no backup), completely or not at all, with
  // its owner, mode and times; a link or anything else at that name fails the copy, leaving the old
  // file in place. 0 for a suffix ReplaceChoices::BackupSuffixProblem refuses.
  virtual int SetBackupSuffix(const std::string& suffix) = 0;

 protected:
  ~IGuestReplaceChoices() = default;
};
