#include "support/ArchiveWriter.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include <gtest/gtest.h>

#include "support/FileHelpers.h"

namespace zqtest {

namespace {

void AddMembersBelow(const std::string& root, const std::string& relative, std::vector<ArchiveMember>& members) {
  const std::string folder = relative.empty() ? root : root + "/" + relative;
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = relative.empty() ? name : relative + "/" + name;
    const struct stat info = StatOf(root + "/" + path);
    ArchiveMember member;
    member.name = path;
    member.type = info.st_mode & S_IFMT;
    member.mode = info.st_mode & 07777;
    member.uid = info.st_uid;
    member.gid = info.st_gid;
    member.mtime = info.st_mtime;
    if (S_ISREG(info.st_mode)) member.content = ReadFile(root + "/" + path);
    members.push_back(member);
    if (S_ISDIR(info.st_mode)) AddMembersBelow(root, path, members);
  }
}

// A ustar header block for `name` of `size` bytes and type `flag`, with its checksum.
std::string TarHeader(const std::string& name, char flag, size_t size) {
  std::string block(512, '\0');
  auto put = [&block](size_t at, const std::string& text) { block.replace(at, text.size(), text); };
  auto octal = [](unsigned long long value, int width) {
    char text[32];
    snprintf(text, sizeof text, "%0*llo", width - 1, value);
    return std::string(text);
  };
  put(0, name.substr(0, 99));
  put(100, octal(0644, 8));
  put(108, octal(0, 8));
  put(116, octal(0, 8));
  put(124, octal(size, 12));
  put(136, octal(1600000000, 12));
  put(148, "        ");
  block[156] = flag;
  put(257, "ustar");
  put(263, "00");
  unsigned sum = 0;
  for (unsigned char byte : block) sum += byte;
  put(148, octal(sum, 7));
  return block;
}

std::string Padded(std::string data) {
  data.resize((data.size() + 511) / 512 * 512, '\0');
  return data;
}

// One member in the GNU sparse format 1.0 of pax: its real size, and its content at `dataAt`
// with a hole before it. libarchive's writer does not write sparse maps, so it is written here.
void WriteSparseTar(const std::string& path, const ArchiveMember& member) {
  auto record = [](const std::string& keyValue) {
    size_t length = keyValue.size() + 3;
    while (std::to_string(length).size() + 2 + keyValue.size() != length) ++length;
    return std::to_string(length) + " " + keyValue + "\n";
  };
  const std::string attributes = record("GNU.sparse.major=1") + record("GNU.sparse.minor=0") +
                                 record("GNU.sparse.name=" + member.name) +
                                 record("GNU.sparse.realsize=" + std::to_string(member.size));
  const std::string map = Padded("1\n" + std::to_string(member.dataAt) + "\n" +
                                 std::to_string(member.content.size()) + "\n");
  const std::string tar = TarHeader("PaxHeaders/" + member.name, 'x', attributes.size()) + Padded(attributes) +
                          TarHeader(member.name, '0', map.size() + member.content.size()) + map +
                          Padded(member.content) + std::string(1024, '\0');
  WriteFile(path, tar);
}

}  // namespace

void WriteArchive(const std::string& path, const std::string& format, const std::string& filter,
                  const std::vector<ArchiveMember>& members) {
  if (members.size() == 1 && members[0].dataAt >= 0) return WriteSparseTar(path, members[0]);
  std::unique_ptr<archive, int (*)(archive*)> writer(archive_write_new(), archive_write_free);
  const size_t colon = format.find(':');
  ASSERT_EQ(archive_write_set_format_by_name(writer.get(), format.substr(0, colon).c_str()), ARCHIVE_OK) << format;
  if (colon != std::string::npos) {
    ASSERT_EQ(archive_write_set_options(writer.get(), format.c_str()), ARCHIVE_OK) << format;
  }
  if (filter != "none") {
    ASSERT_EQ(archive_write_add_filter_by_name(writer.get(), filter.c_str()), ARCHIVE_OK) << filter;
  }
  ASSERT_EQ(archive_write_open_filename(writer.get(), path.c_str()), ARCHIVE_OK)
      << archive_error_string(writer.get());
  for (const ArchiveMember& member : members) {
    std::unique_ptr<archive_entry, void (*)(archive_entry*)> entry(archive_entry_new(), archive_entry_free);
    archive_entry_set_pathname(entry.get(), member.name.c_str());
    archive_entry_set_filetype(entry.get(), member.type);
    archive_entry_set_perm(entry.get(), member.mode);
    archive_entry_set_uid(entry.get(), member.uid);
    archive_entry_set_gid(entry.get(), member.gid);
    archive_entry_set_mtime(entry.get(), member.mtime, 0);
    if (member.type == S_IFLNK) archive_entry_set_symlink(entry.get(), member.linkTarget.c_str());
    if (member.hardLink) archive_entry_set_hardlink(entry.get(), member.linkTarget.c_str());
    if (member.type == S_IFCHR) archive_entry_set_rdev(entry.get(), makedev(1, 3));
    const bool hasData = member.type == S_IFREG && !member.hardLink;
    const int64_t size = member.size >= 0 ? member.size : hasData ? static_cast<int64_t>(member.content.size()) : 0;
    archive_entry_set_size(entry.get(), size);
    ASSERT_GE(archive_write_header(writer.get(), entry.get()), ARCHIVE_WARN) << archive_error_string(writer.get());
    if (hasData && !member.content.empty()) {
      archive_write_data(writer.get(), member.content.data(), member.content.size());
    }
  }
  ASSERT_EQ(archive_write_close(writer.get()), ARCHIVE_OK) << archive_error_string(writer.get());
}

std::vector<ArchiveMember> MembersOfTree(const std::string& root) {
  std::vector<ArchiveMember> members;
  AddMembersBelow(root, "", members);
  return members;
}

}  // namespace zqtest
