#include "app/FrameLoop.h"

int main() { return tarvolen::runTarvolen(); }
