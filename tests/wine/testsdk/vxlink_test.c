/* The USB access library that the test SDK library needs beside it. It only
 * has to exist and load; its one export tells the SDK it is the right one. */
#include <windows.h>

__declspec(dllexport) int VX_LinkVersion(void) { return 0x0203; }
