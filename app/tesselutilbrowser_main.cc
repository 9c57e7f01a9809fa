// Entry point of the desktop program.
#include "zvbrowser.h"

int main(int argc, char **argv) { return zvbrowser__main(argc, argv); }
