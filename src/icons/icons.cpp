// Drive icon cleanup (not yet built: nothing is cleared).
#include "icons/icons.h"

bool ClearDriveIcons(DWORD) { return true; }
