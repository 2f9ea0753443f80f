// Small pieces for writing JSON text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bw::inspect {

// A JSON string literal. Text that is not valid UTF-8 has its broken sequences replaced, so the
// output is always valid JSON.
void AppendJsonString(std::string& out, std::string_view utf8);
// A finite number in its shortest exact form; infinities and NaN as the strings "inf", "-inf"
// and "nan", which JSON cannot spell as numbers.
void AppendJsonReal(std::string& out, double value);
// "YYYY-MM-DDTHH:MM:SSZ" for a Unix time.
std::string IsoUtcText(int64_t unixSeconds);

}  // namespace bw::inspect
