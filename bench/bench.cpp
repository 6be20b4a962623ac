#include <cstdio>

int main() {
    std::printf("{}\n");
    return 0;
}
