#include "core/kiv_main.h"

int main() {
  return kiv_main();
}
