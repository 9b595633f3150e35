// Request targets taken apart: percent-decoding, a query parameter's value by its decoded name
// (as the routes read the key), and a target with that parameter's values hidden (as the log
// writes it). Both decode names alike, but reading matches the name exactly while masking
// ignores case: "APIKEY=" is never read as a key, yet its value is hidden all the same. Masking
// more than is read is the safe side: a key sent under a wrong spelling stays out of the log.
#ifndef OMBRIVOICE_SERVICE_URL_QUERY_H
#define OMBRIVOICE_SERVICE_URL_QUERY_H

#include <optional>
#include <string>
#include <string_view>

namespace ombrivoice::service {

// text with each %HH replaced by its byte (a % not followed by two hex digits is kept), and in
// a query also each + by a space.
std::string PercentDecoded(std::string_view text, bool inQuery);

// The decoded value of the first parameter of query ("a=1&b=2", without the '?') whose decoded
// name is name; nothing when none is.
std::optional<std::string> QueryValue(std::string_view query, std::string_view name);

// target with the value of every query parameter whose decoded name is name, in any case,
// replaced by "*" (QueryValue, by contrast, reads the exact name only).
std::string MaskedQueryValues(std::string target, std::string_view name);

}  // namespace ombrivoice::service

#endif  // OMBRIVOICE_SERVICE_URL_QUERY_H
