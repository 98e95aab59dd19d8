// The sub-commands of fernset. Each takes the arguments after its name and returns the exit
// status: 0 no error row, 1 some error rows (or a damaged set), 2 bad usage.
#pragma once

int RunBackupCommand(int argc, char** argv);
int RunListCommand(int argc, char** argv);
int RunRestoreCommand(int argc, char** argv);
int RunExtractCommand(int argc, char** argv);
int RunVerifyCommand(int argc, char** argv);

// The usage text of fernset.
const char* FernsetUsage();
