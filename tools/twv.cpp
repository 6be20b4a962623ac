#include <cstdio>

int main() {
    std::fprintf(stderr, "twv: not built yet\n");
    return 2;
}
