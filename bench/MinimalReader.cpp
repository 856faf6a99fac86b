// The floor of starting any C++ program here: read standard input, exit.
#include <cstdio>

int main() {
    char buffer[16384];
    while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) {
    }
    return 0;
}
