#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("korvel %s (engine 3.19)\n", KORVEL_VERSION_TEXT);
    return 0;
  }
  std::fprintf(stderr, "usage: korvel --version\n");
  return 2;
}
