// A restored file complete under its temporary name, waiting to be put in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/SafeOpen.h"

struct CWaitingFile {
  std::shared_ptr<fern::CFolderFd> folder;
  std::string folderRel;  // relative to the drive root
  std::string tempLeaf, leaf, path;
  bool replace = false;   // an earlier file is there
  bool verified = false;  // the entry matched the checking pass of a good set
  size_t index = 0;       // the entry's place in the set
  uint32_t digest = 0;    // of the entry as written
  uint64_t bytes = 0;
};
