#pragma once
// Small helpers the benchmark programs share for the figures they print.
#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace lumora::bench {

// The median of several runs (the upper one of an even count).
inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The machine's load averages (1, 5, 15 minutes), printed beside figures
// taken on a shared machine.
inline std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

}  // namespace lumora::bench
