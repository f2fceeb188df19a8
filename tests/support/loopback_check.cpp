/* Lists the tests of the given test programs and fails when two of them get the same block
 * of loopback addresses, so a new test never shares its brokers' addresses with another. */
#include <cstdio>
#include <map>
#include <string>

#include "loopback.h"
#include "process.h"

int main(int argc, char **argv) {
  std::map<unsigned, std::string> owners;
  int clashes = 0;
  unsigned tests = 0;
  for (int i = 1; i < argc; i++) {
    std::string listing;
    if (process_run({argv[i], "--gtest_list_tests"}, 60000, &listing) != 0) {
      std::fprintf(stderr, "%s: cannot list its tests\n", argv[i]);
      return 1;
    }
    std::string suite;
    size_t start = 0;
    while (start < listing.size()) {
      size_t end = listing.find('\n', start);
      if (end == std::string::npos) end = listing.size();
      std::string line = listing.substr(start, end - start);
      start = end + 1;
      const size_t comment = line.find("  #");
      if (comment != std::string::npos) line.resize(comment);
      if (line.empty()) continue;
      if (line[0] != ' ') {
        suite = line; /* "Suite." */
        continue;
      }
      const std::string name = suite + line.substr(line.find_first_not_of(' '));
      const unsigned block = loopback_block(name);
      tests++;
      auto known = owners.emplace(block, name);
      if (!known.second) {
        std::fprintf(stderr,
                     "%s and %s share the loopback block %s\n",
                     known.first->second.c_str(),
                     name.c_str(),
                     loopback_address(block, 0).c_str());
        clashes++;
      }
    }
  }
  std::printf("%u tests, %d shared loopback blocks\n", tests, clashes);
  return clashes == 0 ? 0 : 1;
}
