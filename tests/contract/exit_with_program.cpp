// The program the contract suite starts with ShellExecuteExW: it ends with
// the exit code given as its first parameter, after sleeping the
// milliseconds given as its second, so that a test can see it still running
// and then its exit code. Built for both sides from this one source.
#include <chrono>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    if (argc > 2) std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(argv[2])));
    return argc > 1 ? std::atoi(argv[1]) : 255;
}
