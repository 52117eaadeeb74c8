// Stands in for a running program of the maker in the Wine test of section 6:
// built as QuorvaneHelper.exe, it writes its process id to the file named by
// its argument, then sleeps until the test ends it (two minutes at most, so
// that a test that dies early leaves nothing running for long).
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc > 1) {
        char partial[MAX_PATH + 8];
        std::snprintf(partial, sizeof partial, "%s.tmp", argv[1]);
        if (std::FILE* file = std::fopen(partial, "w")) {
            std::fprintf(file, "%lu", static_cast<unsigned long>(GetCurrentProcessId()));
            std::fclose(file);
            MoveFileExA(partial, argv[1], MOVEFILE_REPLACE_EXISTING);
        }
    }
    Sleep(120000);
    return 0;
}
