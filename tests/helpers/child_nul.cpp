// child_nul
// Writes "abc", a NUL byte and "def\n" in one write, then exits 0.
#include <unistd.h>

int main() {
  static const char text[] = {'a', 'b', 'c', '\0', 'd', 'e', 'f', '\n'};
  return write(1, text, sizeof text) == sizeof text ? 0 : 99;
}
