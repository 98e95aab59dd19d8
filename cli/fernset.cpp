// fernset: the command-line front end on the same engine as the window.
#include <cstdio>
#include <cstring>

#include "cli/Commands.h"
#include "res/Version.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs(FernsetUsage(), stderr);
    return 2;
  }
  const char* command = argv[1];
  if (strcmp(command, "--help") == 0 || strcmp(command, "-h") == 0 || strcmp(command, "help") == 0) {
    fputs(FernsetUsage(), stdout);
    return 0;
  }
  if (strcmp(command, "--version") == 0) {
    printf("fernset %s\n", FERN_VERSION);
    return fflush(stdout) == 0 ? 0 : 1;
  }
  struct {
    const char* name;
    int (*run)(int, char**);
  } const commands[] = {
      {"backup", RunBackupCommand},   {"list", RunListCommand},     {"restore", RunRestoreCommand},
      {"extract", RunExtractCommand}, {"verify", RunVerifyCommand},
  };
  for (const auto& c : commands) {
    if (strcmp(command, c.name) == 0) return c.run(argc - 2, argv + 2);
  }
  fprintf(stderr, "fernset: unknown command '%s'\n\n", command);
  fputs(FernsetUsage(), stderr);
  return 2;
}
