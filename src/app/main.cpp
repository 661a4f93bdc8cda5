#include "app/startup.h"

int main(int argc, char** argv) {
  return quorvane_main(argc, argv);
}
