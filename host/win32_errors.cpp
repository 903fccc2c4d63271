// Windows' own error numbers are its system's: nothing kept beside them.
#include "win32.h"

DWORD hostSystemError() {
    return GetLastError();
}

bool hostSystemErrorIsBusy(DWORD systemError) {
    // A COM port another program holds answers "access denied".
    return systemError == ERROR_ACCESS_DENIED || systemError == ERROR_SHARING_VIOLATION;
}
