#include <cstdio>

int main() {
    std::puts("signposter-cli: nothing yet");
    return 0;
}
