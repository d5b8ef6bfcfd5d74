// What QEMU's own reader says of a disk image: its format, its size, and every other file it
// would read with it. Images that name any other file of the proxy are refused, since the reader
// would copy that file's content into the guest under root's rights.
#pragma once

#include <cstdint>
#include <string>

struct ImageInfo {
  std::string format;        // QEMU's name: "raw", "qcow2", "vmdk", "vhdx", "vdi"
  uint64_t virtualSize = 0;  // the disk's size as the guest saw it
};

// The output of `qemu-img info --output=json` on the image opened as `ownName`, read strictly:
// an object whose "format" is one of the formats restored from and whose "virtual-size" is a
// count. False with `error` (naming the file and the cause) when the text is not that, when it
// names a backing file or a data file, or when any "filename" in it (a vmdk's extents) is not
// `ownName`.
bool ParseImageInfo(const std::string& text, const std::string& ownName, ImageInfo& info, std::string& error);

// How long qemu-img may take on an image, and how much it may say of it.
struct ImageToolLimits {
  int seconds = 60;
  size_t maxOutput = 1 << 20;
};

// Runs qemu-img, fenced (FencedChild.h), on the image open at `fd`, and reads its answer with
// ParseImageInfo. False with `error` past `limits` too.
bool InspectImage(int fd, ImageInfo& info, std::string& error, const ImageToolLimits& limits = {});
