// Stands in for a running updater in the script's tests: a process whose
// executable is held while it runs. Sleeps the milliseconds of its one
// argument and ends with 0.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
  Sleep(argc > 1 ? static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) : 0);
  return 0;
}
