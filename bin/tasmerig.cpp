#include "helper/core/modes.h"

int main(int argc, char** argv) { helper::helperMain(argc, argv); }
