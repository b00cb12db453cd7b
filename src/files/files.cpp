// Files and services (not yet built: nothing is touched).
#include "files/files.h"

void ForceDeleteFile(const std::string&) {}
void RemoveDriverFiles(int) {}
bool ReplaceTextInFile(const std::string&, const std::string&, const std::string&) { return false; }
void RestoreStorageDriver(int) {}
