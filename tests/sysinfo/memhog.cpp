// Grows its resident memory on request: prints "idle", waits for a line on
// stdin, allocates and touches 200 MiB, prints "grown", then waits for EOF.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

int main() {
  std::cout << "idle" << std::endl;
  std::string line;
  if (!std::getline(std::cin, line)) return 0;
  const std::size_t size = 200u << 20;
  auto* p = static_cast<volatile unsigned char*>(std::malloc(size));
  if (p == nullptr) return 1;
  for (std::size_t i = 0; i < size; i += 4096) p[i] = static_cast<unsigned char>(i >> 12);
  std::cout << "grown" << std::endl;
  while (std::getline(std::cin, line)) {
  }
  std::free(const_cast<unsigned char*>(p));
  return 0;
}
