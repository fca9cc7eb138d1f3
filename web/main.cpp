#include <cstdio>

#include "zephrane_engine.h"

int main() {
    std::printf("KORVEX ZEPHRANE.QX Version %s\n", zephrane_GetVersion());
    return 0;
}
