#include "platform/FileError.h"

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "res/Resource.h"

namespace {

TEST(FileError, ErrnoChoosesTheText) {
  const std::string path = "/media/ann/STICK/docs/plan.txt";
  EXPECT_EQ(fern::FormatFileError(ENOENT, path), path + " was not found.");
  EXPECT_EQ(fern::FormatFileError(EACCES, path), "Access to " + path + " was denied.");
  EXPECT_EQ(fern::FormatFileError(EROFS, path), "Access to " + path + " was denied.");
  EXPECT_EQ(fern::FormatFileError(ENOSPC, path), "Disk full while accessing " + path + ".");
  EXPECT_EQ(fern::FormatFileError(EIO, path),
            "A hardware I/O error was reported while accessing " + path + ".");
  EXPECT_EQ(fern::FormatFileError(ENOTCONN, path),
            "A hardware I/O error was reported while accessing " + path + ".");
  EXPECT_EQ(fern::FormatFileError(EMFILE, path),
            path + " could not be opened because there are too many open files.");
  EXPECT_EQ(fern::FormatFileError(ENAMETOOLONG, path), "The name of " + path + " is too long for the drive.");
  EXPECT_EQ(fern::FormatFileError(EISDIR, path), path + " is a folder, so no file of that name can be written.");
  EXPECT_EQ(fern::FormatFileError(EEXIST, path), "File already exists. Cannot overwrite.");
  EXPECT_EQ(fern::FormatFileError(ENOTDIR, path), path + " contains an invalid path.");
  EXPECT_EQ(fern::FormatFileError(0, path), "No error occurred.");
  EXPECT_EQ(fern::FormatFileError(EPROTO, path),
            "An unknown error occurred while accessing " + path + ".");

  EXPECT_EQ(fern::FileErrorStringId(0), 61856);
  EXPECT_EQ(fern::FileErrorStringId(ENOENT), 61858);
  EXPECT_EQ(fern::FileErrorStringId(ENOSPC), 61869);
  EXPECT_EQ(fern::FileErrorStringId(123456), 61857);

  EXPECT_EQ(fern::FormatFileErrorId(IDS_FILE_BADSEEK, "f"), "Seek failed on f");
  EXPECT_EQ(fern::FormatFileErrorId(IDS_FILE_ENDOFFILE, "f"),
            "An attempt was made to access f past its end.");
  EXPECT_EQ(fern::FormatFileError(ENOENT, "odd %1 name"), "odd %1 name was not found.")
      << "a %1 inside the path is not replaced again";
}

TEST(FileError, TextIsAtMost511Characters) {
  std::string longPath(600, 'p');
  std::string text = fern::FormatFileError(EACCES, longPath);
  ASSERT_EQ(text.size(), 511u);
  EXPECT_EQ(text, ("Access to " + longPath).substr(0, 511));

  std::string fits(511 - std::string(" was not found.").size(), 'q');
  EXPECT_EQ(fern::FormatFileError(ENOENT, fits), fits + " was not found.");

  // Two-byte characters: the cut falls between characters, never inside one.
  std::string wide;
  for (int i = 0; i < 300; ++i) wide += "\xC3\xA9";
  text = fern::FormatFileError(EACCES, wide);
  EXPECT_EQ(text.size(), 510u);
  EXPECT_EQ(static_cast<unsigned char>(text.back()), 0xA9);
  EXPECT_EQ(text.substr(0, 10), "Access to ");
}

}  // namespace
