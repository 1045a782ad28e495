// The C++ header from a subproject build: its error texts come from the
// header's one table.
#include <cstdio>
#include <cstring>

#include "lumsdk.hpp"

int main() {
  const std::string text = std::error_code(lumsdk::errc::bad_argument).message();
  std::printf("app_cpp: %s\n", text.c_str());
  return text.empty() ? 1 : 0;
}
