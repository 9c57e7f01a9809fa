// Entry point of the desktop program.
#include "zvbrowser.h"
#include "zvdesktop.h"

int main(int argc, char **argv) {
  zvdesktop__install();
  return zvbrowser__main(argc, argv);
}
