#include <cstdio>

int main() {
    std::puts("ZelkFlashTool: the main window is not built yet.");
    return 0;
}
