#include "config/lists.h"

#include "track/text.h"

namespace sockvane::config {

bool ListContains(std::string_view list, std::string_view item) {
  // Same result as searching "," + item + "," in "," + list + "," with the
  // list's blanks removed and both lower-cased, but without building either.
  if (item.find(' ') != std::string_view::npos) return false;  // the list has no blanks left
  const size_t n = list.size();
  auto skip_blanks = [&list, n](size_t k) {
    while (k < n && list[k] == ' ') ++k;
    return k;
  };
  // Every comma of the virtual haystack can start a match: the leading one
  // and each comma of the list.
  size_t start = 0;  // index just after the comma being tried
  while (true) {
    size_t k = start;
    bool matched = true;
    for (char c : item) {
      k = skip_blanks(k);
      if (k >= n || track::AsciiLower(list[k]) != track::AsciiLower(c)) {
        matched = false;
        break;
      }
      ++k;
    }
    if (matched) {
      k = skip_blanks(k);
      if (k >= n || list[k] == ',') return true;
    }
    const size_t comma = list.find(',', start);
    if (comma == std::string_view::npos) return false;
    start = comma + 1;
  }
}

std::vector<std::string> ListItems(std::string_view list) {
  std::vector<std::string> items(1);
  for (char c : list) {
    if (c == ',') {
      items.emplace_back();
    } else if (c != ' ') {
      items.back() += c;
    }
  }
  return items;
}

void ForEachAddressEntry(std::string_view list, const AddressEntryVisit& visit) {
  track::ForEachItem(list, ',', [&visit](std::string_view item) {
    const std::string_view entry = track::TrimControlAndBlank(item);
    visit(entry, track::ParseNetwork(entry));
    return true;
  });
}

}  // namespace sockvane::config
