/* The small DLL of the library and version contract tests: two exports and
 * nothing else. Its versioned builds add ../../wine/testsdk/version.rc, the
 * build without a version resource adds other_resource.rc. */
#include <windows.h>

__declspec(dllexport) int vq4_contract_answer(void) { return 42; }

__declspec(dllexport) int vq4_contract_other(void) { return 7; }
