#include "host/ImageInfo.h"

#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include <algorithm>

#include "host/FencedChild.h"

namespace {

constexpr int kMaxDepth = 32;
// The image reaches the tool as its descriptor 3, under this name.
constexpr const char* kOwnName = "/proc/self/fd/3";

// A name from the image, fit for one line of a message.
std::string Shown(const std::string& name) {
  std::string shown = name.substr(0, 200);
  std::replace_if(shown.begin(), shown.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, '?');
  return "\"" + shown + (name.size() > 200 ? "...\"" : "\"");
}

// Looks at every member of every object in `value`: the members that name files.
bool NamesNoOtherFile(const nlohmann::json& value, const std::string& ownName, int depth, std::string& error) {
  if (depth > kMaxDepth) {
    error = "qemu-img describes the image more deeply nested than " + std::to_string(kMaxDepth) + " levels";
    return false;
  }
  if (value.is_array()) {
    for (const nlohmann::json& item : value) {
      if (!NamesNoOtherFile(item, ownName, depth + 1, error)) return false;
    }
    return true;
  }
  if (!value.is_object()) return true;
  for (auto member = value.begin(); member != value.end(); ++member) {
    const std::string& key = member.key();
    const auto named = [&member] {
      return member->is_string() ? member->get<std::string>()
                                 : member->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    };
    if (key.find("backing") != std::string::npos) {  // backing-filename, full-backing-filename, backing-image
      error = "the image names a backing file, " + Shown(named()) +
              ", which is refused: restore from a copy made with qemu-img convert";
      return false;
    }
    if (key.rfind("data-file", 0) == 0) {  // data-file, data-file-raw
      error = "the qcow2 image names an external data file, " + Shown(named()) +
              ", which is refused: restore from a copy made with qemu-img convert";
      return false;
    }
    if (key == "filename" && (!member->is_string() || named() != ownName)) {
      error = "the image names another file, " + Shown(named()) +
              " (a vmdk made of several files), which is refused: restore from a monolithic copy";
      return false;
    }
    if (!NamesNoOtherFile(*member, ownName, depth + 1, error)) return false;
  }
  return true;
}

}  // namespace

bool ParseImageInfo(const std::string& text, const std::string& ownName, ImageInfo& info, std::string& error) {
  const nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    error = "qemu-img's description of the image is not a JSON object";
    return false;
  }
  if (!NamesNoOtherFile(parsed, ownName, 0, error)) return false;
  const auto format = parsed.find("format");
  const auto size = parsed.find("virtual-size");
  if (format == parsed.end() || !format->is_string() || size == parsed.end() || !size->is_number_unsigned()) {
    error = "qemu-img's description of the image lacks its format or its size";
    return false;
  }
  const std::string name = format->get<std::string>();
  const char* const restored[] = {"raw", "qcow2", "vmdk", "vhdx", "vdi"};
  if (std::find(std::begin(restored), std::end(restored), name) == std::end(restored)) {
    error = "qemu-img reads the image as " + Shown(name) + ", a format that is not restored from";
    return false;
  }
  info.format = name;
  info.virtualSize = size->get<uint64_t>();
  return true;
}

bool InspectImage(int fd, ImageInfo& info, std::string& error, const ImageToolLimits& limits) {
  FencedChildOptions options;
  options.program = "/usr/bin/qemu-img";
  options.args = {"info", "--output=json", kOwnName};
  options.inherited = {fd};
  options.readableFd = fd;
  std::string out;
  std::string err;
  int status = 0;
  if (!RunFencedChild(options, limits.seconds, limits.maxOutput, out, err, status, error)) return false;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    error = "qemu-img cannot read the image (one that names other files is refused): " + FirstLineOf(err);
    return false;
  }
  return ParseImageInfo(out, kOwnName, info, error);
}
