// The key order is one portable comparison everywhere; this checks that it
// agrees with the Windows locale collation for the keys the source produces.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "track/snapshot.h"

namespace sockvane::track {
namespace {

int LocaleCompare(const std::string& a, const std::string& b) {
  const int result = CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(),
                                    static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()));
  return result - CSTR_EQUAL;  // -1, 0 or 1; 0 also on failure
}

int Sign(int v) {
  return (v > 0) - (v < 0);
}

std::vector<std::string> RealisticKeys() {
  return {
      "TCP|100|192.168.1.20|50123|203.0.113.5|443",
      "TCP|1000|192.168.1.20|50123|203.0.113.5|443",
      "TCP|101|192.168.1.20|50123|203.0.113.5|443",
      "TCP|10|192.168.1.20|50123|203.0.113.5|443",
      "TCP|0|0.0.0.0|135|0.0.0.0|0",
      "TCP|0|127.0.0.1|5432|127.0.0.1|41234",
      "TCP|4|10.0.0.2|445|10.0.0.9|50000",
      "TCP|4312|192.168.1.20|50123|203.0.113.5|443",
      "TCP|4312|192.168.1.20|50123|203.0.113.5|4430",
      "TCP|4312|192.168.1.20|50123|203.0.113.50|443",
      "TCP|4312|192.168.1.20|5012|203.0.113.5|443",
      "TCP|4312|192.168.1.2|50123|203.0.113.5|443",
      "TCP|4312|192.168.10.2|50123|203.0.113.5|443",
      "TCP|4312|192.168.1.20|50123|8.8.8.8|53",
      "TCP|4294967295|255.255.255.255|65535|255.255.255.255|65535",
      "tcp|77|1.2.3.4|1|5.6.7.8|9",
      "TCP|77|1.2.3.4|1|5.6.7.8|9",
      "TCP|77|1.2.3.4|1|5.6.7.8|90",
      "TCP|77|1.2.3.4|10|5.6.7.8|9",
      "TCP|7|1.2.3.4|1|5.6.7.8|9",
      "TCP|700|1.2.3.4|1|5.6.7.8|9",
  };
}

TEST(KeyOrderWindows, LocaleCollationAgreesWithCompareKeys) {
  const std::vector<std::string> keys = RealisticKeys();
  for (const std::string& a : keys) {
    for (const std::string& b : keys) {
      EXPECT_EQ(Sign(CompareKeys(a, b)), LocaleCompare(a, b)) << a << " vs " << b;
    }
  }
}

TEST(KeyOrderWindows, SortedOrdersMatch) {
  std::vector<std::string> portable = RealisticKeys();
  std::vector<std::string> locale = portable;
  std::stable_sort(portable.begin(), portable.end(),
                   [](const std::string& a, const std::string& b) { return CompareKeys(a, b) < 0; });
  std::stable_sort(locale.begin(), locale.end(),
                   [](const std::string& a, const std::string& b) { return LocaleCompare(a, b) < 0; });
  EXPECT_EQ(portable, locale);
  // The order the table relies on: a shorter prefix first, then '|' below digits.
  const auto at = [&](const char* key) {
    return std::find(portable.begin(), portable.end(), key) - portable.begin();
  };
  EXPECT_LT(at("TCP|100|192.168.1.20|50123|203.0.113.5|443"),
            at("TCP|1000|192.168.1.20|50123|203.0.113.5|443"));
  EXPECT_LT(at("TCP|1000|192.168.1.20|50123|203.0.113.5|443"),
            at("TCP|101|192.168.1.20|50123|203.0.113.5|443"));
}

}  // namespace
}  // namespace sockvane::track
