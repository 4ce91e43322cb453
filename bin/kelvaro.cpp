#include <cstdio>

int main() {
  std::fputs("usage: kelvaro <session-dir> [expected-duration-ms]\n", stderr);
  return 2;
}
