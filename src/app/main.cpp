#include <cstdio>

int main() {
  std::printf("Tavro %s: the core is built; the main window comes in a later release.\n",
              TAVRO_VERSION);
  return 0;
}
