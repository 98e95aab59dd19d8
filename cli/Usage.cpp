#include "cli/Commands.h"

const char* FernsetUsage() {
  return "usage: fernset COMMAND ...\n"
         "\n"
         "  backup [--quick] [--label LABEL] [--letter X] DRIVE_ROOT [BACKUPS_FOLDER]\n"
         "        Full (or, with --quick, Quick) Backup of the folder DRIVE_ROOT into a new set in\n"
         "        BACKUPS_FOLDER (default ./backups). Prints the new set's path, or\n"
         "        \"No file changes\". LABEL defaults to the volume label of DRIVE_ROOT, X to E.\n"
         "  list SET\n"
         "        One line per entry: data length, time, stored name.\n"
         "  restore [--yes-to-all | --no-to-all] SET DRIVE_ROOT\n"
         "        Restores every entry of SET below DRIVE_ROOT. A newer file on the drive is\n"
         "        asked about on the terminal (y Yes, a Yes to All, n No, l No to All), else kept.\n"
         "  extract SET NAME... [--to FOLDER]\n"
         "        Writes the named entries (stored names such as E:\\docs\\a.txt, compared without\n"
         "        regard to case or drive letter) into FOLDER (default .) under their file names.\n"
         "  verify SET\n"
         "        Reads the whole set; exit status 1 with \"error reading\" when it is damaged.\n"
         "\n"
         "Exit status: 0 no error, 1 errors (listed on standard error as \"path: text\"), 2 bad usage.\n";
}
