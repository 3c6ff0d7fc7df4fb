// The floor for a run that prints its answer through the C library's stdio:
// one message to standard output, nothing else.
#include <cstdio>

int main() {
  std::fputs("Remote Desktop is enabled.", stdout);
  return 0;
}
