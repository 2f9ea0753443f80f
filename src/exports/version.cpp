#include "brackwater/brackwater.h"

extern "C" const char* BrackwaterVersion(void) {
    return "0.1.0";
}
