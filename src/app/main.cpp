#include "app/headless.h"

int main(int argc, char** argv) {
  return lumora::app::run_program(argc, argv);
}
