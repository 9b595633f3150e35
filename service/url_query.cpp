// One walk over "name=value" pairs separated by '&', used both to read and to mask.
#include "service/url_query.h"

#include <cctype>
#include <functional>

#include "service/http_message.h"

namespace ombrivoice::service {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  const int lower = std::tolower(static_cast<unsigned char>(c));
  return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// Calls visit(nameStart, nameEnd, valueStart, valueEnd) for each parameter of query, positions
// into query; a parameter without '=' has an empty value at its end. Stops when visit says so.
void ForEachParameter(std::string_view query,
                      const std::function<bool(std::size_t, std::size_t, std::size_t, std::size_t)>& visit) {
  for (std::size_t start = 0; start <= query.size();) {
    std::size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    const std::size_t equals = query.substr(start, end - start).find('=');
    const std::size_t nameEnd = equals == std::string_view::npos ? end : start + equals;
    const std::size_t valueStart = equals == std::string_view::npos ? end : nameEnd + 1;
    if (!visit(start, nameEnd, valueStart, end)) return;
    start = end + 1;
  }
}

}  // namespace

std::string PercentDecoded(std::string_view text, bool inQuery) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(inQuery && text[i] == '+' ? ' ' : text[i]);
    }
  }
  return out;
}

std::optional<std::string> QueryValue(std::string_view query, std::string_view name) {
  std::optional<std::string> found;
  ForEachParameter(query, [&](std::size_t nameStart, std::size_t nameEnd, std::size_t valueStart, std::size_t end) {
    if (PercentDecoded(query.substr(nameStart, nameEnd - nameStart), true) != name) return true;
    found = PercentDecoded(query.substr(valueStart, end - valueStart), true);
    return false;
  });
  return found;
}

std::string MaskedQueryValues(std::string target, std::string_view name) {
  const std::size_t question = target.find('?');
  if (question == std::string::npos) return target;
  const std::string query = target.substr(question + 1);
  std::string masked;
  ForEachParameter(query, [&](std::size_t nameStart, std::size_t nameEnd, std::size_t valueStart, std::size_t end) {
    if (nameStart > 0) masked += '&';
    const std::string_view spelt = std::string_view(query).substr(nameStart, nameEnd - nameStart);
    const bool hidden = EqualsNoCase(PercentDecoded(spelt, true), name);
    masked += query.substr(nameStart, valueStart - nameStart);
    masked += hidden && valueStart < end ? "*" : query.substr(valueStart, end - valueStart);
    return true;
  });
  return target.substr(0, question + 1) + masked;
}

}  // namespace ombrivoice::service
