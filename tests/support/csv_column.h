// Column `index` (from 0) of a CSV row without quoted cells, as the
// recorder's CSV writes them.
#pragma once

#include <sstream>
#include <string>

namespace vorel_test {

inline std::string csvColumn(const std::string& row, int index) {
  std::stringstream in(row);
  std::string cell;
  for (int i = 0; i <= index; ++i)
    std::getline(in, cell, ',');
  return cell;
}

}  // namespace vorel_test
